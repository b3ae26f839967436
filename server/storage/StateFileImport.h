#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "server/storage/FamilyStore.h"

namespace tessary::server {

// The stand-in service's former state file (state.json: the release, the family counter, every
// device with its token, pairing and rules), taken into a store once: imported, it is renamed
// "<name>.imported" and never read again. An import cut short is done again whole at the next
// start (each device is put, not added). A file that cannot be read is left where it is.
class StateFileImport {
public:
    struct Outcome {
        std::size_t devices = 0;
        // Why nothing was imported, when the file exists but could not be.
        std::optional<std::string> problem;
    };

    // Nothing happens (zero devices, no problem) when the file does not exist.
    static Outcome run(const std::filesystem::path& stateFile, FamilyStore& store);
};

}  // namespace tessary::server
