// compress, add and forget killed with SIGKILL at seeded random moments of a
// real run over a few tens of MB. Afterwards the archive that was there
// before still opens and verifies (or, when the kill came after the rename,
// the new one does), and a new run of the same command succeeds over
// whatever the killed one left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support.h"

namespace reltest {
namespace {

using Clock = std::chrono::steady_clock;

// binary.h waits for its child; a kill needs the pid, so this one forks and
// execs by itself. Returns the wait status.
int run_and_kill(const std::vector<std::string>& args, std::chrono::microseconds delay) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        for (const auto& e : child_env()) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        std::string bin = ZUNDRA_BIN;
        argv.push_back(bin.data());
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Compressible text and incompressible noise in several files, `mib` MiB in
// all, so that the pool, the writer and the final rename all take part; at
// level 12 a run over a few tens of MiB takes about a second.
void make_tree(const std::string& root, uint32_t seed, size_t mib) {
    for (size_t i = 0; i < mib; ++i) {
        const std::string name = root + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i);
        write_all(name + ".txt", prose(512 << 10, seed + uint32_t(i)));
        write_all(name + ".bin", noise(512 << 10, seed + 1000 + uint32_t(i)));
    }
}

struct Orden {
    const char* what;
    // Builds the archive the command works on in `dir`; returns the command.
    std::vector<std::string> (*prepare)(const std::string& dir);
    const char* leftover;  // what a killed run may leave beside a.zd, by prefix
};

std::vector<std::string> prepare_compress(const std::string& dir) {
    make_tree(dir + "/t1", 1, 32);
    EXPECT_EQ(corre({"compress", dir + "/t1", "-o", dir + "/a.zd", "--level", "12"}).status, 0);
    return {"compress", dir + "/t1", "-o", dir + "/a.zd", "--level", "12"};
}

std::vector<std::string> prepare_add(const std::string& dir) {
    make_tree(dir + "/t1", 1, 4);
    make_tree(dir + "/t2", 2, 24);
    EXPECT_EQ(corre({"compress", dir + "/t1", "-o", dir + "/a.zd", "--level", "12", "--name", "s1"}).status, 0);
    return {"add", dir + "/a.zd", dir + "/t2", "--level", "12", "--name", "s2"};
}

std::vector<std::string> prepare_forget(const std::string& dir) {
    make_tree(dir + "/t1", 1, 24);
    make_tree(dir + "/t2", 2, 24);
    EXPECT_EQ(corre({"compress", dir + "/t1", "-o", dir + "/a.zd", "--level", "12", "--name", "s1"}).status, 0);
    EXPECT_EQ(corre({"add", dir + "/a.zd", dir + "/t2", "--level", "12", "--name", "s2"}).status, 0);
    return {"forget", dir + "/a.zd", "s1"};
}

const Orden kOrdenes[] = {
    {"compress", prepare_compress, "a.zd.tmp-"},
    {"add", prepare_add, "a.zd.parcial"},
    {"forget", prepare_forget, "a.zd.compactando"},
};

class Matar : public ::testing::TestWithParam<size_t> {};

TEST_P(Matar, PreviousArchiveSurvivesAndTheNextRunSucceeds) {
    const Orden& o = kOrdenes[GetParam()];
    Workdir dir;
    const std::string archive = dir.path() + "/a.zd";
    const std::vector<std::string> cmd = o.prepare(dir.path());
    const std::string before = read_all(archive);
    ASSERT_FALSE(before.empty());

    // How long one whole run takes here, to spread the kills over it.
    const auto start = Clock::now();
    ASSERT_EQ(corre(cmd).status, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

    std::mt19937 gen(20240611u + unsigned(GetParam()));
    int killed = 0, finished = 0, replaced = 0;
    std::set<std::string> leftovers;
    for (int round = 0; round < 8; ++round) {
        write_all(archive, before);
        const auto delay = std::chrono::microseconds(gen() % uint64_t(whole.count() * 11 / 10 + 1));
        SCOPED_TRACE("kill after " + std::to_string(delay.count()) + " us of a " +
                     std::to_string(whole.count()) + " us run");
        const int status = run_and_kill(cmd, delay);
        const bool was_killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        killed += was_killed;
        finished += !was_killed;
        if (!was_killed) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }

        const std::string now = read_all(archive);
        replaced += now != before;
        // The old archive or a finished new one: either verifies.
        const Corrida v = corre({"verify", archive});
        EXPECT_EQ(v.status, 0) << v.err;
        for (const std::string& name : names_under(dir.path()))
            if (name.starts_with(o.leftover)) leftovers.insert(name);
    }
    // Over every leftover, the next run succeeds and its result verifies.
    write_all(archive, before);
    const Corrida again = corre(cmd);
    EXPECT_EQ(again.status, 0) << again.err;
    const Corrida v = corre({"verify", archive});
    EXPECT_EQ(v.status, 0) << v.err;
    // ... and cleans up what the killed runs left: nothing of theirs remains.
    for (const std::string& name : names_under(dir.path())) EXPECT_FALSE(name.starts_with(o.leftover)) << name;
    std::printf("[crash] %s: run of %.2f s, %d killed, %d finished first, %d replaced, %zu distinct leftovers\n",
                o.what, double(whole.count()) / 1e6, killed, finished, replaced, leftovers.size());
}

INSTANTIATE_TEST_SUITE_P(Ordenes, Matar, ::testing::Range<size_t>(0, std::size(kOrdenes)),
                         [](const ::testing::TestParamInfo<size_t>& p) { return kOrdenes[p.param].what; });

}  // namespace
}  // namespace reltest
