#pragma once

#include "CodeIdentity.h"
#include "Uuid.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// One application on the block list.
struct BlockedApplication {
    // Version of the inspection procedure whose entries need no re-inspection.
    static constexpr std::int64_t currentInspectionVersion = 5;

    Uuid id; // identity of the list entry; kept across re-inspection
    std::string name;
    std::string bundleIdentifier;
    std::string signingIdentifier;
    std::optional<std::string> teamIdentifier;
    // Helpers and nested bundles, found inside the bundle or observed later; never the primary
    // identity, sorted and without duplicates.
    std::optional<std::vector<CodeIdentity>> auxiliaryCodeIdentities;
    // Only ever read from entries of older versions; written absent, compared for equality.
    std::optional<std::vector<std::string>> auxiliarySigningIdentifiers;
    std::optional<std::int64_t> inspectionVersion;
    std::string path;
    std::optional<std::vector<std::uint8_t>> iconData; // PNG, 128 x 128

    // The bundle's own identity, normalised.
    CodeIdentity primaryCodeIdentity() const;

    // Primary first, then the auxiliary identities, first occurrence kept. Recognises the
    // application's own processes.
    std::vector<CodeIdentity> allCodeIdentities() const;
    std::vector<std::string> allSigningIdentifiers() const;

    // What the rule set blocks: the primary identity always (even without team), then every
    // auxiliary identity that isBlockableAuxiliary allows. No de-duplication.
    std::vector<CodeIdentity> blockingCodeIdentities() const;

    // A copy that has learnt the given identities: merged after the existing ones, without the
    // primary identity and duplicates, sorted; the legacy list dropped and the version current.
    BlockedApplication addingAuxiliaryIdentities(const std::vector<CodeIdentity>& identities) const;

    // Generic interpreters are shared by unrelated programs, so blocking them by identity would
    // block far more than the application.
    static bool isGenericInterpreter(std::string_view signingIdentifier);
    // The same for a program named by its path ("/usr/bin/python3.11"): its file name without
    // a version suffix names an interpreter or a shell.
    static bool isInterpreterProgram(std::string_view path);

    // Whether a helper's identity may be blocked on the application's behalf. A signed helper
    // needs a team: without one its identifier is whatever an ad-hoc signer chose and may be
    // shared by unrelated programs. An unsigned Linux program is named by its canonical path,
    // which is that one file's alone, so it needs no team; interpreters never count.
    static bool isBlockableAuxiliary(const CodeIdentity& identity);

    friend bool operator==(const BlockedApplication&, const BlockedApplication&) = default;
};

} // namespace zorvane

template <> struct std::hash<zorvane::BlockedApplication> {
    std::size_t operator()(const zorvane::BlockedApplication& application) const noexcept;
};
