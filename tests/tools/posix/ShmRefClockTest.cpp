// Who may feed which NTP shared-memory unit: units 0 and 1, which a time
// daemon running as root trusts, only root and only into a segment root owns;
// units from 2 every user. Run as root, the test drops to nobody in forked
// children for the user's side.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "tools/gpscat/ShmRefClock.h"

namespace {

key_t Key(int32_t unit) {
    return static_cast<key_t>(gpscat::kShmKeyBase + unit);
}

bool KeyFree(int32_t unit) {
    return shmget(Key(unit), 0, 0) < 0 && errno == ENOENT;
}

// The first unit from the list whose key no segment holds; -1 when none.
int32_t FreeUnit(std::initializer_list<int32_t> units) {
    for (int32_t u : units) {
        if (KeyFree(u)) {
            return u;
        }
    }
    return -1;
}

// Removes the unit's segment at the start and the end: the unit was free,
// so any segment under its key is the test's own.
struct TOwnSegment {
    int32_t unit;
    explicit TOwnSegment(int32_t u) : unit(u) { Remove(); }
    ~TOwnSegment() { Remove(); }
    void Remove() const {
        const int id = shmget(Key(unit), 0, 0);
        if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
    }
    bool Stat(shmid_ds& ds) const {
        const int id = shmget(Key(unit), 0, 0);
        return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0;
    }
};

struct TOutcome {
    int status = -1;
    std::string text;  // what the child wrote to standard output and error
};

// Runs body in a forked child, as nobody when dropPrivileges is set (the test
// then runs as root); the child's exit status is body's result.
TOutcome InChild(bool dropPrivileges, const std::function<int()>& body) {
    TOutcome o;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return o;
    }
    const passwd* nobody = getpwnam("nobody");
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        if (dropPrivileges && (nobody == nullptr || setgroups(0, nullptr) != 0 ||
                               setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
            _exit(120);
        }
        _exit(body());
    }
    close(pipeFds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{pipeFds[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        char chunk[512];
        const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        o.text.append(chunk, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return o;
}

// Attach in a child, which writes the error text and ends with 0 when attached.
TOutcome AttachInChild(bool dropPrivileges, int32_t unit) {
    return InChild(dropPrivileges, [unit] {
        gpscat::TShmRefClock shm;
        std::string error;
        const bool ok = shm.Attach(unit, error);
        if (ok) {
            shm.Write(45657.5, 45657.5);
        }
        (void)!write(2, error.data(), error.size());
        return ok ? 0 : 1;
    });
}

// A copy of gpscat that user nobody can run: the build tree may lie in a
// folder only its owner can enter (a private clone). Removed at the end.
class TReachableGpsCat {
  public:
    TReachableGpsCat() {
        char dir[] = "/tmp/palmo-gpscat-XXXXXX";
        if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0) {
            return;
        }
        dir_ = dir;
        const std::string copy = dir_ + "/gpscat";
        std::filesystem::copy_file(GPSCAT_EXE, copy);
        chmod(copy.c_str(), 0755);
        path_ = copy;
    }
    ~TReachableGpsCat() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& Path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

// gpscat itself feeding the unit, with a port that is not there: a refused
// unit ends it before the port is tried.
TOutcome GpsCatInChild(bool dropPrivileges, int32_t unit) {
    const TReachableGpsCat gpscat;
    const std::string exe = dropPrivileges ? gpscat.Path() : std::string(GPSCAT_EXE);
    return InChild(dropPrivileges, [unit, &exe] {
        const std::string u = std::to_string(unit);
        setenv("PALMOGPS_PORTS", "/nonexistent/palmo-tty", 1);
        execl(exe.c_str(), exe.c_str(), "--port", "1", "--shm", u.c_str(),
              static_cast<char*>(nullptr));
        return 127;
    });
}

uid_t NobodyUid() {
    const passwd* p = getpwnam("nobody");
    return p != nullptr ? p->pw_uid : 65534;
}

}  // namespace

TEST(ShmRefClock, RootOnlyUnitsAreRefusedToUsersAndLeftUnmade) {
    const int32_t unit = FreeUnit({0, 1});
    if (unit < 0) {
        GTEST_SKIP() << "the keys of units 0 and 1 are in use (a time daemon runs here)";
    }
    const TOwnSegment segment(unit);
    // As root the test drops to nobody; run by a user, it is one already.
    const bool drop = geteuid() == 0;
    TOutcome o = AttachInChild(drop, unit);
    EXPECT_EQ(o.status, 1) << o.text;
    EXPECT_EQ(o.text, "NTP shared memory unit " + std::to_string(unit) +
                          " is for root only (a time daemon running as root trusts units 0 and "
                          "1); run gpscat as root, or use unit 2 or up");
    EXPECT_TRUE(KeyFree(unit));

    o = GpsCatInChild(drop, unit);
    EXPECT_EQ(o.status, 1) << o.text;
    EXPECT_EQ(
        o.text.rfind("gpscat: NTP shared memory unit " + std::to_string(unit) + " is for root only",
                     0),
        0u)
        << o.text;
    EXPECT_TRUE(KeyFree(unit));
}

TEST(ShmRefClock, RootFeedsOnlyARootOwnedSegmentOfUnitsZeroAndOne) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const int32_t unit = FreeUnit({1, 0});
    if (unit < 0) {
        GTEST_SKIP() << "the keys of units 0 and 1 are in use (a time daemon runs here)";
    }
    const TOwnSegment segment(unit);
    const std::string nobody = std::to_string(NobodyUid());

    // Made by root: root's, mode 0600, and fed.
    TOutcome o = AttachInChild(false, unit);
    EXPECT_EQ(o.status, 0) << o.text;
    shmid_ds ds{};
    ASSERT_TRUE(segment.Stat(ds));
    EXPECT_EQ(ds.shm_perm.uid, 0u);
    EXPECT_EQ(ds.shm_perm.cuid, 0u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);

    // Handed to nobody afterwards (made by root, owned by nobody): refused.
    ds.shm_perm.uid = NobodyUid();
    ASSERT_EQ(shmctl(shmget(Key(unit), 0, 0), IPC_SET, &ds), 0);
    o = AttachInChild(false, unit);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.text.find("belongs to uid " + nobody + ", not root"), std::string::npos) << o.text;

    // Made by nobody, as gpscat run by nobody once did: refused with the way
    // out, by the program too.
    segment.Remove();
    o = InChild(true, [unit] { return shmget(Key(unit), 4096, IPC_CREAT | 0666) >= 0 ? 0 : 1; });
    ASSERT_EQ(o.status, 0) << o.text;
    o = GpsCatInChild(false, unit);
    EXPECT_EQ(o.status, 1) << o.text;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(Key(unit)));
    EXPECT_EQ(o.text, "gpscat: NTP shared memory unit " + std::to_string(unit) + " (key " + hex +
                          ") belongs to uid " + nobody +
                          ", not root, so the time it carries cannot be trusted; remove it "
                          "(ipcrm -M " +
                          hex + ") and start again\n");
}

TEST(ShmRefClock, UnitsFromTwoAreOpenToUsersWithMode0666) {
    const int32_t unit = FreeUnit({230, 231, 232, 233, 234, 235});
    ASSERT_GE(unit, 0) << "no free unit among 230 to 235";
    const TOwnSegment segment(unit);
    const bool drop = geteuid() == 0;
    const uid_t user = drop ? NobodyUid() : geteuid();

    // A user makes and feeds it.
    TOutcome o = AttachInChild(drop, unit);
    EXPECT_EQ(o.status, 0) << o.text;
    shmid_ds ds{};
    ASSERT_TRUE(segment.Stat(ds));
    EXPECT_EQ(ds.shm_perm.cuid, user);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    void* p = shmat(shmget(Key(unit), 0, 0), nullptr, SHM_RDONLY);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    const int* record = static_cast<const int*>(p);
    EXPECT_EQ(record[0], 1);  // mode
    EXPECT_EQ(record[1], 2);  // count: one sample written
    shmdt(p);

    // Root may feed a user's segment of these units.
    if (drop) {
        o = AttachInChild(false, unit);
        EXPECT_EQ(o.status, 0) << o.text;
    }
}
