#include "testbroker.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A command line of the test's own, its paths in a temporary folder without blanks.
bool Run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool Listens(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool MakeTestCertificates(const std::string& folder)
{
    // Elliptic-curve keys: made in milliseconds, where RSA keys take a good part of a second.
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string in = " " + folder + "/";
    std::ofstream(folder + "/san.ext") << "subjectAltName=DNS:localhost\n";
    return Run("openssl req -x509" + key + " -subj /CN=TestCA -keyout" + in + "ca.key -out" + in +
               "ca.pem") &&
           Run("openssl req -x509" + key + " -subj /CN=OtherCA -keyout" + in + "wrong-ca.key -out" +
               in + "wrong-ca.pem") &&
           Run("openssl req" + key + " -subj /CN=localhost -keyout" + in + "server.key -out" + in +
               "server.csr") &&
           Run("openssl x509 -req -days 2 -in" + in + "server.csr -CA" + in + "ca.pem -CAkey" + in +
               "ca.key -CAcreateserial -extfile" + in + "san.ext -out" + in + "server.pem");
}

TestBroker::TestBroker(std::string folder, bool tls)
    : m_folder(std::move(folder)), m_port(FreePort())
{
    if (tls) {
        m_tlsPort = FreePort();
    }
    // Run as root (as in CI), mosquitto would become the user "mosquitto", who may not read
    // the folder; it stays who it is.
    const passwd* user = ::getpwuid(::geteuid());
    std::ofstream config(m_folder + "/mosquitto.conf");
    config << "user " << (user ? user->pw_name : "root") << "\n"
           << "allow_anonymous true\npersistence true\npersistence_location " << m_folder << "/\n"
           << "max_queued_messages 0\nlog_dest file " << m_folder << "/mosquitto.log\n"
           << "listener " << m_port << " 127.0.0.1\n";
    if (tls) {
        config << "listener " << m_tlsPort << " 127.0.0.1\ncafile " << m_folder
               << "/ca.pem\ncertfile " << m_folder << "/server.pem\nkeyfile " << m_folder
               << "/server.key\n";
    }
}

TestBroker::~TestBroker()
{
    stop();
}

bool TestBroker::start()
{
    m_pid = ::fork();
    if (m_pid == 0) {
        const std::string config = m_folder + "/mosquitto.conf";
        if (std::freopen("/dev/null", "w", stderr)) {
            ::execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (Listens(m_port) && (m_tlsPort == 0 || Listens(m_tlsPort))) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "mosquitto ended at once; see " + m_folder + "/mosquitto.log";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_error = "mosquitto does not listen on port " + std::to_string(m_port);
    return false;
}

void TestBroker::stop()
{
    if (m_pid > 0) {
        // SIGTERM: it saves the sessions to its file before it ends.
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}
