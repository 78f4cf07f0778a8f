#pragma once

namespace zorvane::testing_names {

// Posted after the notifications under test; signals from one sender arrive in order, so once
// this one is seen every earlier one has been too.
inline constexpr const char* done = "dev.quillmoor.Zorvane.test.done";

} // namespace zorvane::testing_names
