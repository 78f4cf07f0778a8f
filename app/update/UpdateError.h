#pragma once

namespace zorvane {

// Why a check found no usable manifest. Transport failures, status codes outside 2xx, bodies
// that are too large, undecodable JSON and download addresses that are not allowed are all the
// same failure to the user.
enum class UpdateError { invalidResponse };

} // namespace zorvane
