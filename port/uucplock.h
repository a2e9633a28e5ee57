#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The UUCP lock file of a serial device: LCK..<name> in the lock folder, holding the process
// id of its holder as ten characters and a newline. flock and TIOCEXCL do not see a program
// that opened the device before us without them (screen, cu, minicom, a modem manager); the
// lock file is what those programs check and create, so the port honours and creates it too.
//
// A lock is held until release(), the destructor, or the normal end of the process (exit or
// a return from main), whichever comes first; one left by a process that died otherwise is
// stale and removed by the next taker.
class UucpLock
{
public:
    enum class Outcome
    {
        Taken,
        Held,       // by a live process: holderPid() and holderName() say which
        Unwritable, // no lock folder takes files; the device is not locked
    };

    UucpLock() = default;
    ~UucpLock(); // releases
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock of the device at devicePath, named after the device it leads to (a link
    // such as /dev/serial/by-id/... locks the ttyUSB it points at, as other programs do). A
    // lock already held by this object is released first.
    Outcome take(const std::string& devicePath);
    // Removes the lock file if it still names this process. Harmless when none is held.
    void release();

    bool held() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }             // of the lock file held
    pid_t holderPid() const { return m_holderPid; }                // after Held
    const std::string& holderName() const { return m_holderName; } // may be empty

private:
    std::string m_path;
    pid_t m_holderPid = 0;
    std::string m_holderName;
};

// The folders where lock files live, in the order they are tried: /run/lock, then /var/lock
// (where the first is missing or not writable). QUORVEX_LOCK_DIR, a list separated by colons,
// replaces them, so that tests can use folders of their own.
std::vector<std::string> UucpLockFolders();

// "LCK..ttyUSB0" for /dev/ttyUSB0: the last part of the path after links are resolved.
std::string UucpLockName(const std::string& devicePath);

// The holder's process id in a lock file's text, or 0 when the text names none: ASCII
// digits after optional blanks, followed by the end, or by a blank and anything (some
// programs add their name and user). Binary and empty locks name none.
pid_t UucpLockHolder(const std::string& text);

// The name of a running process (/proc/<pid>/comm), empty when unknown.
std::string ProcessName(pid_t pid);
