// A desktop entry in the child's own applications folder, and any Exec= value in it: read into the
// index as the watcher reads it at start and whenever the folder changes, then asked what the entry
// runs. Nothing may crash, hang, or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/InvocationParser.h"

namespace {

using namespace tessary;

struct Folders {
    std::filesystem::path root;
    DesktopEntryIndex::Roots roots;

    Folders()
    {
        std::string pattern = "/dev/shm/tessary-entry-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        root = pattern;
        const auto bin = root / "bin";
        std::filesystem::create_directories(bin);
        for (const char* name : {"sh", "python3", "env", "flatpak", "game"}) {
            std::ofstream(bin / name) << "\x7f" "ELF";
            std::filesystem::permissions(bin / name, std::filesystem::perms(0755));
        }
        std::filesystem::create_directories(root / "share" / "applications");
        std::filesystem::create_directories(root / "config" / "autostart");
        roots.dataDirs = {root / "share"};
        roots.configDirs = {root / "config"};
        roots.searchPath = bin.string();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Folders folders;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const char* entry : {"share/applications/org.example.Fuzz.desktop", "config/autostart/org.example.Fuzz.desktop"})
        std::ofstream(folders.root / entry, std::ios::binary | std::ios::trunc) << bytes;

    const auto index = DesktopEntryIndex::load(folders.roots);
    index.nameFor("org.example.Fuzz");
    index.isSessionAutostart("org.example.Fuzz");
    for (const auto& program : index.triggerPrograms())
        index.idForProgram(program);
    index.idForProgram(folders.root / "bin" / "game");
    // The same bytes as one Exec= value, with its quoting, "sh -c" strings and interpreter options.
    if (const auto invocation = InvocationParser::invocationOf(bytes, folders.roots.searchPath, folders.root))
        index.idForInvocation(*invocation, folders.root);
    return 0;
}
