#pragma once

namespace tessary {

// The agent's program file as installed on disk, against the one this process runs.
class InstalledProgram {
public:
    virtual ~InstalledProgram() = default;

    // Another file now stands at the program's path: an update was installed over the running
    // agent. A program file that is gone (the agent was uninstalled) is not a replacement.
    virtual bool isReplaced() = 0;
};

}  // namespace tessary
