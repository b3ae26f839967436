#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/InvocationParser.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::TemporaryFolder;
using Kind = DesktopEntryIndex::Invocation::Kind;

// Programs and interpreters stand in a temporary bin/ that comes first on the search path.
class DesktopEntryIndexTest : public ::testing::Test {
protected:
    DesktopEntryIndexTest() : paths(folder.paths()), bin(folder.path() / "bin"), game(folder.path() / "opt" / "game")
    {
        for (const auto* name : {"editor", "plain", "python3.11", "java", "flatpak", "sh", "bash", "env"})
            program(bin / name);
        std::filesystem::create_symlink("python3.11", bin / "python3");
        program(game / "game");
        searchPath = bin.string() + ":/usr/bin:/bin";
    }

    static void program(const std::filesystem::path& path)
    {
        TemporaryFolder::writeFile(path, "\x7f" "ELF");
        ::chmod(path.c_str(), 0755);
    }
    void entry(const std::filesystem::path& dataDir, const std::string& id, const std::string& keys)
    {
        TemporaryFolder::writeFile(dataDir / "applications" / (id + ".desktop"),
                                   "[Desktop Entry]\nType=Application\n" + keys);
    }
    DesktopEntryIndex load()
    {
        return DesktopEntryIndex::load({{paths.dataHome, paths.dataDirs[0]}, {paths.configHome}, searchPath});
    }

    TemporaryFolder folder;
    Paths paths;
    std::filesystem::path bin;
    std::filesystem::path game;
    std::string searchPath;
};

struct ExecRow {
    const char* name;
    std::string exec;
    std::optional<Kind> kind;  // absent: the line identifies nothing
    std::string program;       // below bin/ unless absolute
    std::string operand = {};
};

TEST_F(DesktopEntryIndexTest, ExecLinesAreSeenThroughToWhatTheyFinallyRun)
{
    const std::string g = game.string();
    const std::vector<ExecRow> rows = {
        {"plain program with a field code", "editor %F", Kind::program, "editor"},
        {"env assignments", "env GDK_BACKEND=x11 LANG=C editor", Kind::program, "editor"},
        {"env option with a value", "env -u DISPLAY editor --new", Kind::program, "editor"},
        {"env changing folder", "env -C " + g + " python3 play.py", Kind::script, "python3.11", g + "/play.py"},
        {"env splitting a string", "env -S \"python3 -u\" /srv/a.py", Kind::script, "python3.11", "/srv/a.py"},
        {"script by absolute path", "python3 /srv/a.py --level 2", Kind::script, "python3.11", "/srv/a.py"},
        {"relative script without a folder", "python3 ./a.py", Kind::script, "python3.11", "a.py"},
        {"options and -- before the script", "python3 -B -X dev -- a.py", Kind::script, "python3.11", "a.py"},
        {"module after options", "python3 -u -m quiz.main", Kind::module, "python3.11", "quiz.main"},
        {"option values before the module", "python3 -W ignore -Xfrozen_modules=off -m quiz", Kind::module,
         "python3.11", "quiz"},
        {"python -c", "python3 -c \"import quiz\"", std::nullopt, ""},
        {"interpreter alone", "python3", std::nullopt, ""},
        {"interpreter reading standard input", "python3 -", std::nullopt, ""},
        {"jar after options", "java -Xmx1g -Dx=y -jar /srv/app.jar", Kind::jar, "java", "/srv/app.jar"},
        {"java with a main class", "java -cp /srv/app.jar org.App", std::nullopt, ""},
        {"flatpak run with options", "flatpak run --branch=stable --arch x86_64 org.a.B @@u %U @@", Kind::flatpak,
         "flatpak", "org.a.B"},
        {"flatpak run of a branch", "flatpak --user run org.a.B//beta", Kind::flatpak, "flatpak", "org.a.B"},
        {"flatpak without run", "flatpak update", std::nullopt, ""},
        {"sh -c with cd and exec", "sh -c \"cd " + g + " && exec ./game --x\"", Kind::program, g + "/game"},
        {"sh -c with assignments and a trailing true", "sh -c \"A=1 B=2 editor --new; true\"", Kind::program, "editor"},
        {"bash -lc", "bash -lc editor", Kind::program, "editor"},
        {"sh -c, last command of a pipeline", "sh -c \"editor | plain\"", Kind::program, "plain"},
        {"sh -c with redirections", "sh -c \"editor 2>&1 >/dev/null\"", Kind::program, "editor"},
        {"sh -c in single quotes", "sh -c 'cd " + g + " && ./game'", Kind::program, g + "/game"},
        {"sh -c running an interpreter", "sh -c \"cd " + g + "; python3 play.py\"", Kind::script, "python3.11",
         g + "/play.py"},
        {"sh -c through env", "sh -c \"env X=1 editor\"", Kind::program, "editor"},
        {"sh running a script", "sh " + g + "/start.sh", Kind::script, "sh", g + "/start.sh"},
        {"sh -c with a loop", "sh -c \"for a in 1 2; do editor; done\"", std::nullopt, ""},
        {"sh -c with a substitution", "sh -c \"$(which editor)\"", std::nullopt, ""},
        {"sh -c with a variable program", "sh -c \"$EDITOR file\"", std::nullopt, ""},
        {"sh -c with only incidental commands", "sh -c \"sleep 1; true\"", std::nullopt, ""},
        {"sh -c with an open quote", "sh -c \"'editor\"", std::nullopt, ""},
        {"sh -c with nothing after it", "sh -c", std::nullopt, ""},
        {"shell alone", "bash", std::nullopt, ""},
        {"relative program without a folder", "./game", std::nullopt, ""},
        {"unknown program", "no-such-program", std::nullopt, ""},
        {"empty", "", std::nullopt, ""},
        {"only quotes", "\"\"\"", std::nullopt, ""},
        {"endless wrapping", "env env env env env env env env env env env editor", std::nullopt, ""},
    };
    for (const auto& row : rows) {
        const auto invocation = InvocationParser::invocationOf(row.exec, searchPath);
        ASSERT_EQ(invocation.has_value(), row.kind.has_value()) << row.name;
        if (!invocation)
            continue;
        EXPECT_EQ(invocation->kind, *row.kind) << row.name;
        const std::filesystem::path expected = row.program.front() == '/' ? row.program : (bin / row.program).string();
        EXPECT_EQ(invocation->program, expected) << row.name;
        EXPECT_EQ(invocation->operand, row.operand) << row.name;
    }
}

TEST_F(DesktopEntryIndexTest, TriggersAreEveryProgramThatCanStartAnApplication)
{
    entry(paths.dataDirs[0], "editor", "Name=Editor\nExec=env X=1 editor\n");
    entry(paths.dataDirs[0], "chess", "Name=Chess\nExec=python3 /srv/chess.py\n");
    entry(paths.dataDirs[0], "craft", "Name=Craft\nExec=java -jar /srv/craft.jar\n");
    entry(paths.dataDirs[0], "store", "Name=Store\nExec=flatpak run org.a.Store\n");
    entry(paths.dataDirs[0], "racer", "Name=Racer\nExec=bash -c \"cd " + game.string() + " && exec ./game\"\n");
    entry(paths.dataDirs[0], "tray", "Name=Tray\nNoDisplay=true\nExec=plain\n");
    const auto index = load();
    const std::set<std::filesystem::path> expected = {bin / "editor", bin / "python3.11", bin / "java", bin / "flatpak",
                                                      bin / "bash", game / "game"};
    EXPECT_EQ(index.triggerPrograms(), expected);
    EXPECT_EQ(index.programFolders(), (std::set<std::filesystem::path>{bin, game}));
}

TEST_F(DesktopEntryIndexTest, MalformedEntriesAreReadWithoutHarm)
{
    entry(paths.dataDirs[0], "binary", std::string("Exec=\x01\xff\"\\") + '\0' + "\nName=\xff\n");
    entry(paths.dataDirs[0], "no-group", "");
    TemporaryFolder::writeFile(paths.dataDirs[0] / "applications" / "loose.desktop", "Type=Application\nExec=editor\n");
    // Past the size an entry may have, nothing more is read: the Exec line at the end is not seen.
    entry(paths.dataDirs[0], "huge", "Name=Huge\n#" + std::string(2 << 20, 'x') + "\nExec=plain\n");
    entry(paths.dataDirs[0], "relative-path", "Name=Relative\nPath=games\nExec=./game\n");
    entry(paths.dataDirs[0], "broken-lines", "no equals sign\n=no key\n[Desktop Action\nName=Broken\n");
    ASSERT_EQ(::mkfifo((paths.dataDirs[0] / "applications" / "fifo.desktop").c_str(), 0600), 0);
    std::filesystem::create_directories(paths.configHome / "autostart");
    const auto index = load();
    EXPECT_TRUE(index.hasApplication("binary"));
    EXPECT_TRUE(index.hasApplication("huge"));
    EXPECT_FALSE(index.hasApplication("loose")) << "keys outside [Desktop Entry] count for nothing";
    EXPECT_EQ(index.idForProgram(bin / "editor"), std::nullopt);
    EXPECT_EQ(index.idForProgram(bin / "plain"), std::nullopt);
    EXPECT_TRUE(index.triggerPrograms().empty());
    EXPECT_EQ(index.nameFor("broken-lines"), "Broken") << "the lines around a malformed one still count";
    const std::vector<std::string> malformed = {
        (paths.dataDirs[0] / "applications" / "broken-lines.desktop").string() +
            ": 3 malformed line(s) skipped, the first line 3",
        (paths.dataDirs[0] / "applications" / "huge.desktop").string() + ": larger than 1048576 bytes, read no further"};
    EXPECT_EQ(index.malformedEntries(), malformed);
}

TEST_F(DesktopEntryIndexTest, RunningCommandLinesNameTheirOperand)
{
    struct Row {
        const char* name;
        std::filesystem::path program;
        std::vector<std::string> arguments;
        Kind kind;
        std::string operand;
    };
    const std::vector<Row> rows = {
        {"kernel-run script with an interpreter option", bin / "python3.11", {"/usr/bin/python3", "-E", "/srv/a.py"},
         Kind::script, "/srv/a.py"},
        {"clustered options then module", bin / "python3.11", {"python3", "-Bum", "quiz"}, Kind::module, "quiz"},
        {"python -c", bin / "python3.11", {"python3", "-c", "x"}, Kind::program, ""},
        {"shell with -o then a script", bin / "bash", {"bash", "-o", "pipefail", "run.sh"}, Kind::script, "run.sh"},
        {"shell -c", bin / "bash", {"bash", "-ec", "run.sh"}, Kind::program, ""},
        {"shell with +o then a script", bin / "bash", {"bash", "+o", "posix", "run.sh"}, Kind::script, "run.sh"},
        {"perl -I with its value then a script", bin / "perl", {"perl", "-I", "lib", "run.pl"}, Kind::script, "run.pl"},
        {"node -e", bin / "node", {"node", "-e", "run()"}, Kind::program, ""},
        {"gjs -c", bin / "gjs", {"gjs", "-c", "run()"}, Kind::program, ""},
        {"ruby -c checks a script", bin / "ruby", {"ruby", "-c", "run.rb"}, Kind::script, "run.rb"},
        {"no arguments at all", bin / "java", {}, Kind::program, ""},
        {"option without its value", bin / "java", {"java", "-jar"}, Kind::program, ""},
        {"flatpak ID that is no ID", bin / "flatpak", {"flatpak", "run", "../../etc"}, Kind::program, ""},
        {"other program with a path argument", bin / "editor", {"editor", "/srv/a.py"}, Kind::program, ""},
    };
    for (const auto& row : rows) {
        const auto running = InvocationParser::runningInvocation(row.program, row.arguments);
        EXPECT_EQ(running.kind, row.kind) << row.name;
        EXPECT_EQ(running.operand, row.operand) << row.name;
        EXPECT_EQ(running.program, row.program) << row.name;
    }
}

}  // namespace
}  // namespace tessary
