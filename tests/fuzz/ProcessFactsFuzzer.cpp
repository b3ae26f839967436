// A process of the child's as the watcher reads it from /proc: its command line (the "sh -c" strings
// and interpreter options the classifier reads), its cgroup (the unit's name), its stat line and the
// .flatpak-info in its sandbox are all the child's to craft. Read and classified as the watcher does,
// nothing may crash, hang, or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <unistd.h>

#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcFileSystem.h"

namespace {

using namespace tessary;

void write(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

struct Session {
    std::filesystem::path root;
    std::filesystem::path bin;
    std::unique_ptr<ApplicationClassifier> classifier;
    std::unique_ptr<ProcFileSystem> proc;

    Session()
    {
        std::string pattern = "/dev/shm/tessary-process-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        root = pattern;
        bin = root / "bin";
        std::filesystem::create_directories(bin);
        for (const char* name : {"sh", "python3", "env", "flatpak", "java", "game"}) {
            write(bin / name, "\x7f" "ELF");
            std::filesystem::permissions(bin / name, std::filesystem::perms(0755));
        }
        const auto applications = root / "share" / "applications";
        std::filesystem::create_directories(applications);
        write(applications / "org.example.Game.desktop", "[Desktop Entry]\nType=Application\nName=Game\nExec=game %U\n");
        write(applications / "org.example.Shell.desktop",
              "[Desktop Entry]\nType=Application\nName=Shell\nExec=sh -c \"exec game --level 2\"\n");
        write(applications / "org.example.Py.desktop",
              "[Desktop Entry]\nType=Application\nName=Py\nExec=python3 -u -m snake\n");
        write(applications / "com.example.Flat.desktop",
              "[Desktop Entry]\nType=Application\nName=Flat\nExec=flatpak run com.example.Flat\n");
        ApplicationClassifier::Exclusions exclusions;
        exclusions.uid = ::getuid();
        exclusions.agentPid = 1;
        exclusions.agentBundle = root / "Tessary";
        exclusions.agentIds = {"app.brenmoor.tessary"};
        classifier = std::make_unique<ApplicationClassifier>(exclusions, bin.string());
        DesktopEntryIndex::Roots roots;
        roots.dataDirs = {root / "share"};
        roots.searchPath = bin.string();
        classifier->setIndex(DesktopEntryIndex::load(roots));
        std::filesystem::create_directories(root / "proc" / "42" / "root");
        write(root / "proc" / "loadavg", "0.00 0.00 0.00 1/1 42\n");
        proc = std::make_unique<ProcFileSystem>(root / "proc");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Session session;
    FuzzedDataProvider input(data, size);
    const auto folder = session.root / "proc" / "42";
    static const char* const programs[] = {"sh", "python3", "env", "flatpak", "java", "game", ""};
    const std::string program = programs[input.ConsumeIntegralInRange<std::size_t>(0, 6)];
    write(folder / "stat", input.ConsumeRandomLengthString(256));
    write(folder / "cgroup", input.ConsumeRandomLengthString(256));
    write(folder / "status", input.ConsumeRandomLengthString(128));
    write(folder / "root" / ".flatpak-info", input.ConsumeRandomLengthString(512));
    write(folder / "cmdline", input.ConsumeRemainingBytesAsString());
    std::error_code ignored;
    std::filesystem::remove(folder / "exe", ignored);
    if (!program.empty())
        std::filesystem::create_symlink(session.bin / program, folder / "exe", ignored);

    const auto facts = session.proc->read(42);
    if (!facts)
        return 0;
    const auto& classifier = *session.classifier;
    if (classifier.isExcluded(*facts))
        return 0;
    const auto own = classifier.programId(*facts);
    const auto unit = classifier.unitId(*facts);
    for (const auto& id : {own, unit})
        if (id && classifier.displayName(*id, *facts).empty())
            std::abort();
    return 0;
}
