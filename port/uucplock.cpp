#include "uucplock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock files this process holds, so that those of ports nobody closed go at exit too.
// Each entry carries the process that took it: a child forked afterwards inherits the list,
// and its exit must not remove the locks of its parent.
struct HeldLocks
{
    std::mutex m_lock;
    std::vector<std::pair<std::string, pid_t>> m_paths;
};

HeldLocks& Held()
{
    // Never destroyed: the exit handler and the destructors of static ports may run in
    // either order, and both still need the list.
    static HeldLocks* const held = new HeldLocks;
    return *held;
}

void RemoveIfOurs(const std::string& path);

void ReleaseAllAtExit()
{
    HeldLocks& held = Held();
    const std::lock_guard<std::mutex> guard(held.m_lock);
    const pid_t self = ::getpid();
    for (const auto& [path, owner] : held.m_paths) {
        if (owner == self) {
            RemoveIfOurs(path);
        }
    }
    held.m_paths.clear();
}

void Register(const std::string& path)
{
    static std::once_flag exitHandler;
    std::call_once(exitHandler, [] { std::atexit(ReleaseAllAtExit); });
    HeldLocks& held = Held();
    const std::lock_guard<std::mutex> guard(held.m_lock);
    held.m_paths.emplace_back(path, ::getpid());
}

// Forgets the entry of this process for path; false when there was none (the exit handler
// has removed it already, or another object holds it).
bool Unregister(const std::string& path)
{
    HeldLocks& held = Held();
    const std::lock_guard<std::mutex> guard(held.m_lock);
    const auto entry =
        std::find(held.m_paths.begin(), held.m_paths.end(), std::make_pair(path, ::getpid()));
    if (entry == held.m_paths.end()) {
        return false;
    }
    held.m_paths.erase(entry);
    return true;
}

bool IsRegistered(const std::string& path)
{
    HeldLocks& held = Held();
    const std::lock_guard<std::mutex> guard(held.m_lock);
    return std::find(held.m_paths.begin(), held.m_paths.end(), std::make_pair(path, ::getpid())) !=
           held.m_paths.end();
}

enum class ReadResult
{
    Absent,
    Unreadable,
    Read,
};

// Which file a name led to when it was read: a stale lock is removed only while the name
// still leads to that file, never to the fresh lock another program made in the meantime.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
};

// The start of a lock file; a lock is a few bytes, anything longer is not one we can use.
ReadResult ReadLockFile(const std::string& path, std::string& text, FileIdentity* identity = nullptr)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A folder that is missing, no folder, or closed to us holds no lock we could honour;
        // a lock file we may not read is there all the same.
        struct stat info = {};
        return ::lstat(path.c_str(), &info) == 0 ? ReadResult::Unreadable : ReadResult::Absent;
    }
    struct stat info = {};
    if (identity && ::fstat(fd, &info) == 0) {
        *identity = FileIdentity{info.st_dev, info.st_ino};
    }
    char bytes[128];
    ssize_t n = 0;
    do {
        n = ::read(fd, bytes, sizeof bytes);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) {
        return ReadResult::Unreadable;
    }
    text.assign(bytes, static_cast<std::size_t>(n));
    return ReadResult::Read;
}

void RemoveIfOurs(const std::string& path)
{
    std::string text;
    if (ReadLockFile(path, text) == ReadResult::Read && UucpLockHolder(text) == ::getpid()) {
        ::unlink(path.c_str());
    }
}

enum class LockState
{
    Absent,
    Live,
    Stale,
};

// Whether the lock file at path keeps the device from us, and who holds it (0: unknown).
// identity: the file that was judged.
LockState Inspect(const std::string& path, pid_t& holder, FileIdentity& identity)
{
    holder = 0;
    std::string text;
    switch (ReadLockFile(path, text, &identity)) {
    case ReadResult::Absent:
        return LockState::Absent;
    case ReadResult::Unreadable:
        // A lock we may not read is still a lock: without its text we cannot call it stale.
        return LockState::Live;
    case ReadResult::Read:
        break;
    }
    holder = UucpLockHolder(text);
    if (holder == 0) {
        return LockState::Stale;
    }
    if (holder == ::getpid()) {
        // Ours if another port of this process holds it; else a process before us had our
        // number and died without removing it.
        return IsRegistered(path) ? LockState::Live : LockState::Stale;
    }
    // EPERM: the process exists but belongs to another user.
    return ::kill(holder, 0) == 0 || errno != ESRCH ? LockState::Live : LockState::Stale;
}

// Removes the stale lock that was judged, if the name still leads to it. Between the look
// and the unlink another taker can still slip in; the window is now that of two system calls
// rather than of reading and judging the file, and flock keeps out a taker of our kind.
void RemoveStale(const std::string& path, const FileIdentity& judged)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) == 0 && info.st_dev == judged.device && info.st_ino == judged.inode) {
        ::unlink(path.c_str());
    }
}

enum class Creation
{
    Created,
    Exists,
    Failed,
};

// Creates the lock file whole or not at all: the text goes into a file of our own first, and
// link(2) gives it its name only if nobody has that name yet. A lock that a reader could see
// empty, half written, would look stale to it.
Creation Create(const std::string& folder, const std::string& path)
{
    std::string temp = folder + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return Creation::Failed;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    // Other programs must be able to read who holds the device.
    bool written = ::fchmod(fd, 0644) == 0;
    for (int done = 0; written && done < length;) {
        const ssize_t n = ::write(fd, text + done, static_cast<std::size_t>(length - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<int>(n) : 0;
    }
    written = ::close(fd) == 0 && written;
    const int linked = written ? ::link(temp.c_str(), path.c_str()) : -1;
    const int error = errno;
    ::unlink(temp.c_str());
    if (linked == 0) {
        return Creation::Created;
    }
    return written && error == EEXIST ? Creation::Exists : Creation::Failed;
}

} // namespace

UucpLock::~UucpLock()
{
    release();
}

UucpLock::Outcome UucpLock::take(const std::string& devicePath)
{
    release();
    m_holderPid = 0;
    m_holderName.clear();
    const std::string name = UucpLockName(devicePath);
    const std::vector<std::string> folders = UucpLockFolders();

    const auto refuse = [this](pid_t holder) {
        m_holderPid = holder;
        m_holderName = holder > 0 ? ProcessName(holder) : std::string();
        return Outcome::Held;
    };
    // A lock in any of the folders counts: other programs may keep theirs in either.
    for (const std::string& folder : folders) {
        const std::string path = folder + "/" + name;
        pid_t holder = 0;
        FileIdentity judged;
        switch (Inspect(path, holder, judged)) {
        case LockState::Absent:
            break;
        case LockState::Live:
            return refuse(holder);
        case LockState::Stale:
            RemoveStale(path, judged);
            break;
        }
    }
    for (const std::string& folder : folders) {
        const std::string path = folder + "/" + name;
        // Another program may take or drop the lock between our looks; a few rounds settle it.
        for (int round = 0; round < 4; ++round) {
            // Registered before it exists, so that another thread of this process that finds
            // the new file with our pid takes it for held, not for stale.
            Register(path);
            const Creation created = Create(folder, path);
            if (created == Creation::Created) {
                m_path = path;
                return Outcome::Taken;
            }
            Unregister(path);
            if (created == Creation::Failed) {
                break; // missing, read-only, full: the next folder may do
            }
            pid_t holder = 0;
            FileIdentity judged;
            const LockState state = Inspect(path, holder, judged);
            if (state == LockState::Live) {
                return refuse(holder);
            }
            if (state == LockState::Stale) {
                RemoveStale(path, judged);
            }
        }
    }
    return Outcome::Unwritable;
}

void UucpLock::release()
{
    if (m_path.empty()) {
        return;
    }
    // Only while registered: otherwise the exit handler has removed it already, and the file
    // of that name may by now be another program's.
    if (Unregister(m_path)) {
        RemoveIfOurs(m_path);
    }
    m_path.clear();
}

std::vector<std::string> UucpLockFolders()
{
    const char* setting = std::getenv("QUORVEX_LOCK_DIR");
    if (!setting || !*setting) {
        return {"/run/lock", "/var/lock"};
    }
    std::vector<std::string> folders;
    const std::string text = setting;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(':', start), text.size());
        if (end > start) {
            folders.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return folders;
}

std::string UucpLockName(const std::string& devicePath)
{
    std::string path = devicePath;
    if (char* resolved = ::realpath(devicePath.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    return "LCK.." + path.substr(path.find_last_of('/') + 1);
}

pid_t UucpLockHolder(const std::string& text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    const std::size_t digitsStart = i;
    long long pid = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        pid = pid * 10 + (text[i] - '0');
        if (pid > INT_MAX) {
            return 0;
        }
    }
    if (i == digitsStart || (i < text.size() && !isBlank(text[i]))) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

std::string ProcessName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}
