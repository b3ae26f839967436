#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent/core/LaunchDecision.h"
#include "platform/linux/SystemdKeepAliveUnit.h"
#include "tests/support/ManualMainQueue.h"

// The login item and the keep-alive unit together, in virtual time: a stand-in for the user's
// service manager applies the unit's own restart rules, as read from the unit the agent writes,
// and every copy of the agent that starts settles with the core's launch decision. Everything
// takes time as it does on a real login: a copy's start-up, each systemctl call, a start request
// on its way to the manager, and a process's exit, during which the manager counts the unit active.

namespace tessary {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using testing::ManualMainQueue;

constexpr auto kExecutable = "/opt/tessary/Contents/bin/PellixApp";

// The unit settings that decide restarts, with systemd's defaults where the unit says nothing.
struct UnitRules {
    bool restartAlways = false;
    milliseconds restartDelay = 100ms;
    std::set<int> preventRestart;
    milliseconds startLimitInterval = 10s;  // zero: no limit
    unsigned startLimitBurst = 5;

    static UnitRules of(const std::string& unit)
    {
        UnitRules rules;
        std::istringstream lines(unit);
        std::string line;
        while (std::getline(lines, line)) {
            const auto equals = line.find('=');
            if (equals == std::string::npos)
                continue;
            const auto key = line.substr(0, equals);
            const auto value = line.substr(equals + 1);
            if (key == "Restart")
                rules.restartAlways = value == "always";
            else if (key == "RestartSec")
                rules.restartDelay = milliseconds(std::stol(value) * 1000);
            else if (key == "StartLimitIntervalSec")
                rules.startLimitInterval = milliseconds(std::stol(value) * 1000);
            else if (key == "StartLimitBurst")
                rules.startLimitBurst = static_cast<unsigned>(std::stoul(value));
            else if (key == "RestartPreventExitStatus") {
                std::istringstream statuses(value);
                for (int status = 0; statuses >> status;)
                    rules.preventRestart.insert(status);
            }
        }
        return rules;
    }
};

enum class Starter { keepAliveUnit, autostart, person };

LaunchOrigin originOf(Starter starter)
{
    switch (starter) {
    case Starter::keepAliveUnit: return LaunchOrigin::keepAliveAgent;
    case Starter::autostart: return LaunchOrigin::session;
    case Starter::person: return LaunchOrigin::person;
    }
    return LaunchOrigin::person;
}

// The session: processes, the single-instance lock and the service manager running the unit.
class Session {
public:
    struct Process {
        std::size_t pid = 0;
        Starter starter = Starter::person;
        milliseconds startedAt{0};
        bool alive = true;
        bool agent = false;  // holds the lock and runs as the agent
    };
    struct Start {
        milliseconds at;
        Starter starter;
        bool whileAnotherAgentRuns;
    };

    explicit Session(UnitRules rules) : rules_(rules) {}

    // What a copy takes from its start to asking for the lock (Qt, the bundle, the log).
    std::map<Starter, milliseconds> startUpTime = {
        {Starter::keepAliveUnit, 300ms}, {Starter::autostart, 300ms}, {Starter::person, 300ms}};
    // A systemctl query (is the unit installed, is the graphical session up).
    milliseconds queryTime = 50ms;
    // From "systemctl --user start --no-block" to the manager acting on it.
    milliseconds startDelivery = 10ms;
    // From a copy deciding to leave to its process having ended.
    milliseconds exitTime = 100ms;
    bool unitInstalled = true;
    // The manager runs the graphical session (it started graphical-session.target).
    bool managerReady = true;
    // Every copy the unit starts dies at once, as with a broken display.
    bool unitCopiesCrash = false;
    // The unit marks the copies it starts (earlier units did not: theirs look like session starts).
    bool unitCopiesMarked = true;

    ManualMainQueue clock;
    std::vector<Process> processes;
    std::vector<Start> starts;

    // systemctl --user start: a no-op while the unit's process lives, even one already leaving;
    // refused past the start limit.
    void startUnit()
    {
        if (unitProcess_ && processes[*unitProcess_].alive)
            return;
        if (pendingRestart_)
            pendingRestart_->cancel();
        pendingRestart_.reset();
        while (rules_.startLimitInterval > 0ms && !unitStarts_.empty() &&
               unitStarts_.front() <= clock.now() - rules_.startLimitInterval)
            unitStarts_.erase(unitStarts_.begin());
        if (rules_.startLimitInterval > 0ms && unitStarts_.size() >= rules_.startLimitBurst) {
            ++refusedUnitStarts;
            return;
        }
        unitStarts_.push_back(clock.now());
        unitProcess_ = spawn(Starter::keepAliveUnit);
    }

    std::size_t spawn(Starter starter)
    {
        const auto index = processes.size();
        processes.push_back({index, starter, clock.now()});
        starts.push_back({clock.now(), starter, agentRunning()});
        clock.postAfter(startUpTime[starter], [this, index] { settle(index); });
        return index;
    }

    void startAt(milliseconds at, Starter starter)
    {
        clock.postAfter(at - clock.now(), [this, starter] {
            if (starter == Starter::keepAliveUnit)
                startUnit();
            else
                spawn(starter);
        });
    }

    // SIGKILL and SIGTERM alike: the agent does not catch either, so it ends by the signal,
    // which Restart=always restarts.
    void killAgent()
    {
        if (const auto agent = runningAgent())
            end(*agent, std::nullopt);
    }

    // systemctl --user stop: the unit's process ends and is not started again.
    void stopUnit()
    {
        if (pendingRestart_)
            pendingRestart_->cancel();
        pendingRestart_.reset();
        if (unitProcess_)
            end(*unitProcess_, std::nullopt, false);
    }

    std::optional<std::size_t> runningAgent() const
    {
        for (const auto& process : processes)
            if (process.alive && process.agent)
                return process.pid;
        return std::nullopt;
    }
    bool agentRunning() const { return runningAgent().has_value(); }
    bool agentIsTheUnits() const { return unitProcess_ && runningAgent() == unitProcess_; }
    std::size_t aliveProcesses() const
    {
        std::size_t count = 0;
        for (const auto& process : processes)
            count += process.alive ? 1 : 0;
        return count;
    }
    std::size_t unitStartCount() const
    {
        std::size_t count = 0;
        for (const auto& start : starts)
            count += start.starter == Starter::keepAliveUnit ? 1 : 0;
        return count;
    }
    // Starts by the manager while another agent ran, closer than a minute to the one before.
    std::vector<milliseconds> startsTooSoonBesideAnAgent() const
    {
        std::vector<milliseconds> tooSoon;
        std::optional<milliseconds> previous;
        for (const auto& start : starts) {
            if (start.starter != Starter::keepAliveUnit || !start.whileAnotherAgentRuns)
                continue;
            if (previous && start.at - *previous < 60s)
                tooSoon.push_back(start.at);
            previous = start.at;
        }
        return tooSoon;
    }

    int refusedUnitStarts = 0;

private:
    void settle(std::size_t index)
    {
        auto& self = processes[index];
        if (!self.alive)
            return;
        if (self.starter == Starter::keepAliveUnit && unitCopiesCrash) {
            end(index, std::nullopt);
            return;
        }
        const auto origin = self.starter == Starter::keepAliveUnit && !unitCopiesMarked ? LaunchOrigin::session
                                                                                         : originOf(self.starter);
        step(index, std::make_shared<LaunchDecision>(origin));
    }

    // Carries out the copy's current request; its answer arrives when the request has taken its time.
    void step(std::size_t index, const std::shared_ptr<LaunchDecision>& decision)
    {
        using Request = LaunchDecision::Request;
        const auto request = decision->request();
        if (request == Request::none) {
            const auto& settled = decision->settlement();
            if (settled.action == LaunchDecision::Action::run)
                processes[index].agent = true;
            else
                leave(index, settled.exitStatus);
            return;
        }
        const auto took = request == Request::keepAliveInstalled || request == Request::managerReady ? queryTime
                          : request == Request::startKeepAliveAgent                                ? startDelivery
                          : request == Request::pause                                              ? LaunchDecision::kPause
                                                                                                   : 0ms;
        clock.postAfter(took, [this, index, decision, request] {
            bool found = false;
            switch (request) {
            case Request::tryLock:
                if (!lockHolder_)
                    lockHolder_ = index;
                found = lockHolder_ == index;
                break;
            case Request::releaseLock:
                if (lockHolder_ == index)
                    lockHolder_.reset();
                break;
            case Request::keepAliveInstalled: found = unitInstalled; break;
            case Request::managerReady: found = managerReady; break;
            case Request::startKeepAliveAgent:
                startUnit();
                found = true;
                break;
            case Request::pause:
            case Request::none: break;
            }
            decision->answer(found);
            step(index, decision);
        });
    }

    // The copy lets the lock go at once; its process ends a moment later.
    void leave(std::size_t index, int exitStatus)
    {
        if (lockHolder_ == index)
            lockHolder_.reset();
        clock.postAfter(exitTime, [this, index, exitStatus] { end(index, exitStatus); });
    }

    // An exit with a status, or the end by a signal (no status).
    void end(std::size_t index, std::optional<int> exitStatus, bool restartAllowed = true)
    {
        auto& process = processes[index];
        process.alive = false;
        process.agent = false;
        if (lockHolder_ == index)
            lockHolder_.reset();
        if (unitProcess_ != index)
            return;
        unitProcess_.reset();
        if (!restartAllowed || !rules_.restartAlways ||
            (exitStatus && rules_.preventRestart.contains(*exitStatus)))
            return;
        pendingRestart_ = clock.postAfter(rules_.restartDelay, [this] {
            pendingRestart_.reset();
            startUnit();
        });
    }

    UnitRules rules_;
    std::optional<std::size_t> lockHolder_;
    std::optional<std::size_t> unitProcess_;
    std::shared_ptr<ScheduledWork> pendingRestart_;
    std::vector<milliseconds> unitStarts_;
};

UnitRules currentRules()
{
    return UnitRules::of(*SystemdKeepAliveUnit::unitContent(kExecutable));
}

struct Login {
    const char* name;
    // When the manager starts the unit (graphical-session.target reached) and the session its
    // autostart entry; absent: not at all.
    std::optional<milliseconds> unitAt;
    std::optional<milliseconds> autostartAt;
    milliseconds unitStartUp = 300ms;
    milliseconds autostartStartUp = 300ms;
};

const Login kLogins[] = {
    {"unit first", 0ms, 1s},
    {"autostart first, the unit's target later", 2s, 0ms},
    {"both at once, the autostart copy quicker", 0ms, 0ms, 300ms, 100ms},
    {"both at once, the unit's copy quicker", 0ms, 0ms, 100ms, 300ms},
    {"both at once, neck and neck", 0ms, 0ms},
    {"only the unit", 0ms, std::nullopt},
    {"only the autostart entry (unit started by the hand-over)", std::nullopt, 0ms},
};

void logIn(Session& session, const Login& login)
{
    session.startUpTime[Starter::keepAliveUnit] = login.unitStartUp;
    session.startUpTime[Starter::autostart] = login.autostartStartUp;
    if (login.unitAt)
        session.startAt(*login.unitAt, Starter::keepAliveUnit);
    if (login.autostartAt)
        session.startAt(*login.autostartAt, Starter::autostart);
    session.clock.advance(30s);
}

void expectOneSupervisedAgent(const Session& session, const std::string& when)
{
    EXPECT_TRUE(session.agentRunning()) << when;
    EXPECT_TRUE(session.agentIsTheUnits()) << when << ": a killed agent would not come back";
    EXPECT_EQ(session.aliveProcesses(), 1U) << when;
}

TEST(KeepAliveSupervisionTest, EveryLoginOrderEndsWithOneAgentRunByTheUnit)
{
    for (const auto& login : kLogins) {
        Session session(currentRules());
        logIn(session, login);
        expectOneSupervisedAgent(session, login.name);
        session.clock.advance(10min);
        expectOneSupervisedAgent(session, std::string(login.name) + ", ten minutes on");
        EXPECT_LE(session.unitStartCount(), 2U) << login.name;
        EXPECT_TRUE(session.startsTooSoonBesideAnAgent().empty()) << login.name;
    }
}

// The two starts at login with the durations a login can have: the autostart copy holding the lock
// through slow systemctl queries while the unit's copy tries it, a start request reaching the
// manager before a losing copy's process has ended, and every order of the two.
TEST(KeepAliveSupervisionTest, EveryInterleavingOfTheLoginStartsEndsWithOneAgentRunByTheUnit)
{
    for (const auto unitAt : {0ms, 200ms, 2000ms})
        for (const auto unitStartUp : {100ms, 300ms, 1500ms})
            for (const auto autostartStartUp : {100ms, 300ms})
                for (const auto query : {50ms, 500ms, 3000ms})
                    for (const auto delivery : {10ms, 1000ms})
                        for (const auto exit : {50ms, 2000ms}) {
                            std::ostringstream name;
                            name << "unit at " << unitAt.count() << " ms, start-ups " << unitStartUp.count() << "/"
                                 << autostartStartUp.count() << " ms, queries " << query.count()
                                 << " ms, start delivered in " << delivery.count() << " ms, exit "
                                 << exit.count() << " ms";
                            Session session(currentRules());
                            session.queryTime = query;
                            session.startDelivery = delivery;
                            session.exitTime = exit;
                            logIn(session, {"", unitAt, 0ms, unitStartUp, autostartStartUp});
                            expectOneSupervisedAgent(session, name.str());
                        }
}

TEST(KeepAliveSupervisionTest, AManagerSlowerThanTheUnitsCopyWaitsStillLeavesOneAgent)
{
    Session session(currentRules());
    // The autostart copy holds the lock longer than the unit's copy waits for it, and its start
    // reaches the manager while that copy is still ending.
    session.queryTime = 6s;
    session.exitTime = 3s;
    logIn(session, kLogins[2]);
    EXPECT_TRUE(session.agentRunning());
    EXPECT_EQ(session.aliveProcesses(), 1U);
}

TEST(KeepAliveSupervisionTest, AKilledAgentIsBackWithinThreeSeconds)
{
    // SIGKILL and SIGTERM end the agent alike (killAgent).
    for (const auto& login : kLogins) {
        const std::string name = login.name;
        Session session(currentRules());
        logIn(session, login);
        // Five kills a minute apart, then five ten seconds apart: never given up.
        for (const auto gap : {60s, 60s, 60s, 60s, 60s, 10s, 10s, 10s, 10s, 10s}) {
            ASSERT_TRUE(session.agentRunning()) << name;
            session.killAgent();
            EXPECT_FALSE(session.agentRunning()) << name;
            session.clock.advance(3s);
            expectOneSupervisedAgent(session, name + ", 3 s after a kill");
            session.clock.advance(gap - 3s);
        }
        EXPECT_EQ(session.refusedUnitStarts, 0) << name;
        EXPECT_TRUE(session.startsTooSoonBesideAnAgent().empty()) << name;
    }
}

TEST(KeepAliveSupervisionTest, ASecondCopyStartedByAPersonLeavesAndIsNotRestarted)
{
    for (const auto& login : kLogins) {
        Session session(currentRules());
        logIn(session, login);
        const auto agent = session.runningAgent();
        const auto unitStarts = session.unitStartCount();
        session.startAt(session.clock.now() + 1s, Starter::person);
        session.clock.advance(5min);
        EXPECT_EQ(session.runningAgent(), agent) << login.name;
        EXPECT_EQ(session.unitStartCount(), unitStarts) << login.name;
        expectOneSupervisedAgent(session, login.name);
        EXPECT_FALSE(session.processes.back().alive) << login.name;
    }
}

TEST(KeepAliveSupervisionTest, APersonsCopyAfterTheAgentWasStoppedHandsOverToTheUnit)
{
    Session session(currentRules());
    logIn(session, kLogins[0]);
    session.stopUnit();
    ASSERT_FALSE(session.agentRunning());
    session.startAt(session.clock.now() + 1s, Starter::person);
    session.clock.advance(5s);
    expectOneSupervisedAgent(session, "after the hand-over");
}

TEST(KeepAliveSupervisionTest, WithoutAManagerRunningTheSessionTheFirstCopyRunsAlone)
{
    Session session(currentRules());
    session.managerReady = false;
    logIn(session, {"autostart only, no graphical-session.target", std::nullopt, 0ms});
    EXPECT_TRUE(session.agentRunning());
    EXPECT_EQ(session.aliveProcesses(), 1U);
    EXPECT_EQ(session.unitStartCount(), 0U);
}

TEST(KeepAliveSupervisionTest, AnAgentThatDiesAtEveryStartIsGivenUp)
{
    Session session(currentRules());
    session.unitCopiesCrash = true;
    logIn(session, kLogins[5]);
    session.clock.advance(10min);
    EXPECT_EQ(session.unitStartCount(), 10U);
    EXPECT_EQ(session.refusedUnitStarts, 1);
}

// The faults these tests are there to catch, shown on the unit earlier versions wrote: the copy
// that loses the lock is restarted every two seconds for the whole session.
TEST(KeepAliveSupervisionTest, TheEarlierUnitRestartsALosingCopyForever)
{
    Session session(UnitRules::of(*SystemdKeepAliveUnit::earlierUnitContent(kExecutable)));
    // Its copies carry no mark of the unit, and the current agent does not hand over to it.
    session.unitCopiesMarked = false;
    session.unitInstalled = false;
    logIn(session, kLogins[2]);
    session.clock.advance(1min);
    EXPECT_FALSE(session.agentIsTheUnits());
    EXPECT_GT(session.unitStartCount(), 20U);
    EXPECT_FALSE(session.startsTooSoonBesideAnAgent().empty());
}

}  // namespace
}  // namespace tessary
