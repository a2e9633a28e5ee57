#include "testbroker.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int Run(const std::vector<std::string>& argv)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr)) {
            ::execvp(args[0], args.data());
        }
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : -1;
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
    const auto ca = [&](const std::string& name, const std::string& subject) {
        // Elliptic-curve keys: made in milliseconds, where RSA keys take a good part of a second.
        return Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", subject,
                    "-keyout", folder + "/" + name + ".key", "-out",
                    folder + "/" + name + ".pem"}) == 0;
    };
    std::ofstream(folder + "/san.ext") << "subjectAltName=DNS:localhost\n";
    return ca("ca", "/CN=Quorvex test CA") && ca("wrong-ca", "/CN=Another CA") &&
           Run({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-subj", "/CN=localhost", "-keyout", folder + "/server.key", "-out",
                folder + "/server.csr"}) == 0 &&
           Run({"openssl", "x509", "-req", "-days", "2", "-in", folder + "/server.csr", "-CA",
                folder + "/ca.pem", "-CAkey", folder + "/ca.key", "-CAcreateserial", "-extfile",
                folder + "/san.ext", "-out", folder + "/server.pem"}) == 0;
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
