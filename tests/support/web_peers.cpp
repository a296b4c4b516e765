#include "support/web_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/web_server.h"

extern char** environ;

namespace ulxtest {
namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    chmod(path.c_str(), 0644);  // the servers read as www-data
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool takesConnections(const std::string& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(80);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

}  // namespace

std::string WebPeer::program() const {
    const char* path = kind_ == PeerKind::Apache ? "/usr/sbin/apache2" : "/usr/sbin/lighttpd";
    return access(path, X_OK) == 0 ? path : "";
}

std::string WebPeer::configuration(const std::string& address) const {
    if (kind_ == PeerKind::Lighttpd)
        return "server.modules = (\"mod_auth\", \"mod_authn_file\")\n"
               "server.document-root = \"" + dir_ + "/www\"\n"
               "server.bind = \"" + address + "\"\n"
               "server.port = 80\n"
               "server.username = \"www-data\"\n"
               "server.groupname = \"www-data\"\n"
               "server.max-keep-alive-requests = 0\n"
               "mimetype.assign = (\"\" => \"text/html\")\n"
               "auth.backend = \"htdigest\"\n"
               "auth.backend.htdigest.userfile = \"" + dir_ + "/htdigest\"\n"
               "auth.require = (\"/admin/\" => (\"method\" => \"digest\", \"realm\" => \"ulx\", "
               "\"require\" => \"valid-user\"))\n";
    std::string conf = "ServerRoot " + dir_ + "\nServerName ulx.test\nListen " + address + ":80\n";
    for (const char* m : {"mpm_prefork", "authz_core", "authz_user", "authn_core", "authn_file", "auth_digest"})
        conf += std::string("LoadModule ") + m + "_module /usr/lib/apache2/modules/mod_" + m + ".so\n";
    return conf + "User www-data\nGroup www-data\n"
           "PidFile " + dir_ + "/apache.pid\nDefaultRuntimeDir " + dir_ + "\nErrorLog " + dir_ + "/error.log\n"
           "KeepAlive Off\nDocumentRoot " + dir_ + "/www\n"
           "<Location /admin/>\n"
           "  AuthType Digest\n  AuthName \"ulx\"\n  AuthDigestProvider file\n"
           "  AuthUserFile " + dir_ + "/htdigest\n  Require valid-user\n  ForceType text/html\n"
           "</Location>\n";
}

bool WebPeer::start(const std::string& address, const std::string& password) {
    std::string exe = program();
    char temp[] = "/tmp/ulx-peer-XXXXXX";
    if (exe.empty() || !mkdtemp(temp)) {
        error_ = exe.empty() ? "not installed" : "no temporary directory";
        return false;
    }
    dir_ = temp;
    chmod(dir_.c_str(), 0755);
    std::filesystem::create_directories(dir_ + "/www/admin");
    for (const char* d : {"/www", "/www/admin"}) chmod((dir_ + d).c_str(), 0755);
    writeFile(dir_ + "/www/admin/advanced", statusPageHtml());
    writeFile(dir_ + "/htdigest", "admin:ulx:" + md5Hex("admin:ulx:" + password) + "\n");  // htdigest's format
    std::string conf = dir_ + "/server.conf";
    writeFile(conf, configuration(address));

    // In the foreground, in a process group of its own; output to server.log.
    std::string flag = kind_ == PeerKind::Apache ? "-X" : "-D";
    std::string log = dir_ + "/server.log";
    char* argv[] = {exe.data(), flag.data(), const_cast<char*>("-f"), conf.data(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    int rc = posix_spawn(&pid_, exe.c_str(), &files, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        pid_ = -1;
        error_ = "cannot start " + exe;
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = exe + " ended at start:\n" + this->log();
            return false;
        }
        if (takesConnections(address)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = exe + " takes no connections on " + address + ":80\n" + this->log();
    return false;
}

void WebPeer::stop() {
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 250 && !ended; ++i) {
            ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!ended) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
    dir_.clear();
}

std::string WebPeer::log() const { return readFile(dir_ + "/server.log") + readFile(dir_ + "/error.log"); }

}  // namespace ulxtest
