// Benchmark of the built-in TFTP server on loopback (not a test).
//
//   ulx-tftp-bench [--runs N] [--image FILE]
//       Serves FILE (default images/ulx7400-3.1.7.bin) to atftp, N times
//       (default 21) from this program's listener and session, each run in
//       a fresh server process as in the shipped program, and N times from
//       Debian's in.tftpd, runs interleaved; prints both medians and their
//       ratio. Then measures the CPU time a listener uses while it waits
//       10 s for a read request that does not come.
//   ulx-tftp-bench serve ADDRESS FILE
//       The server process: starts the real listener on ADDRESS (port 69
//       upward) with FILE as the Target image, writes "port N" on standard
//       error and idles; the window events go to standard output.
//
// Addresses: ours 127.0.9.1 (idle measurement 127.0.9.3), in.tftpd
// 127.0.9.2 port 6969. The transfer time is the client's whole run, from
// its start to its exit, for both servers alike.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/base/base.h"
#include "platform/headless/headless.h"
#include "tftp/tftp.h"

extern char** environ;

namespace {

const char FILE_NAME[] = "/ulxbench.bi1";
const char OUR_ADDRESS[] = "127.0.9.1";
const char HPA_ADDRESS[] = "127.0.9.2";
const char HPA_PORT[] = "6969";
const char IDLE_ADDRESS[] = "127.0.9.3";
const int IDLE_SECONDS = 10;

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool readWholeFile(const char* path, std::vector<uint8_t>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    out->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
    fclose(f);
    return true;
}

bool writeWholeFile(const char* path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------- server process

[[noreturn]] void serve(const char* address, const char* imagePath) {
    static std::vector<uint8_t> image;
    in_addr a;
    if (inet_pton(AF_INET, address, &a) != 1 || !readWholeFile(imagePath, &image) || image.size() < 128) {
        fprintf(stderr, "serve: bad address or image\n");
        _exit(2);
    }
    headlessStart(-1, nullptr, nullptr);
    platNetStartup();
    RunSetup& setup = *editRunSetup();
    setup.targetImage.bytes = image.data();
    setup.targetImage.size = static_cast<uint32_t>(image.size());
    memcpy(setup.targetImage.header, image.data(), IMAGE_HEADER_SIZE);
    copyText(setup.deviceAddressText, sizeof setup.deviceAddressText, address);
    setup.localAddress = ntohl(a.s_addr);
    setup.deviceAddress = 0x7f000001u;  // atftp on loopback sends from 127.0.0.1: that is the device here
    g_stage.store(Stage::Target);
    setTftpFileName(FILE_NAME);
    static TftpHandBack handBack;
    uint16_t port = startTftpListener(setup, &handBack);
    fprintf(stderr, "port %u\n", static_cast<unsigned>(port));
    fflush(stderr);
    char reported[128];
    tftpAwaitOutcome(&handBack, reported, sizeof reported);
    platExitProcess(0);
}

// ---------------------------------------------------------------- processes

// Starts argv with standard output to /dev/null (and standard error to
// errFd when it is not -1). The pid, or -1.
pid_t spawn(const char* const* argv, int errFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Our server in a process of its own; the port it bound, or 0.
struct Server {
    pid_t pid = -1;
    unsigned port = 0;
};

Server startServer(const char* self, const char* address, const char* imagePath) {
    Server s;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return s;
    const char* argv[] = {self, "serve", address, imagePath, nullptr};
    s.pid = spawn(argv, fds[1]);
    close(fds[1]);
    char line[64] = "";
    size_t used = 0;
    pollfd p{fds[0], POLLIN, 0};
    while (used < sizeof line - 1 && !strchr(line, '\n') && poll(&p, 1, 5000) == 1) {
        ssize_t n = read(fds[0], line + used, sizeof line - 1 - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
        line[used] = '\0';
    }
    close(fds[0]);
    if (sscanf(line, "port %u", &s.port) != 1) s.port = 0;
    return s;
}

void stopServer(Server& s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGKILL);
    waitExit(s.pid);
    s.pid = -1;
}

// One atftp download; its wall time in seconds, or -1 when it failed or
// the file differs.
double timedDownload(const char* host, const char* port, const char* out, const std::vector<uint8_t>& image) {
    remove(out);
    const char* argv[] = {"atftp", "-g", "-r", FILE_NAME, "-l", out, host, port, nullptr};
    double start = nowSeconds();
    pid_t pid = spawn(argv, -1);
    if (pid < 0 || waitExit(pid) != 0) return -1;
    double elapsed = nowSeconds() - start;
    std::vector<uint8_t> got;
    if (!readWholeFile(out, &got) || got != image) return -1;
    return elapsed;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// CPU time of every thread of the process, in seconds (schedstat: ns).
double processCpuSeconds(pid_t pid) {
    char dirPath[64];
    snprintf(dirPath, sizeof dirPath, "/proc/%d/task", static_cast<int>(pid));
    DIR* dir = opendir(dirPath);
    if (!dir) return -1;
    double total = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char path[384];
        int n = snprintf(path, sizeof path, "%s/%s/schedstat", dirPath, e->d_name);
        if (n < 0 || n >= static_cast<int>(sizeof path)) continue;
        FILE* f = fopen(path, "r");
        unsigned long long ns = 0;
        if (f && fscanf(f, "%llu", &ns) == 1) total += static_cast<double>(ns) / 1e9;
        if (f) fclose(f);
    }
    closedir(dir);
    return total;
}

int runBenchmark(const char* self, int runs, const char* imagePath) {
    std::vector<uint8_t> image;
    if (!readWholeFile(imagePath, &image)) {
        fprintf(stderr, "cannot read %s\n", imagePath);
        return 1;
    }
    char dir[] = "/tmp/ulx-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    chmod(dir, 0755);
    char served[128], outOurs[128], outHpa[128];
    snprintf(served, sizeof served, "%s%s", dir, FILE_NAME);
    snprintf(outOurs, sizeof outOurs, "%s/out-ours", dir);
    snprintf(outHpa, sizeof outHpa, "%s/out-hpa", dir);
    if (!writeWholeFile(served, image)) return 1;
    chmod(served, 0644);

    char hpaListen[64];
    snprintf(hpaListen, sizeof hpaListen, "%s:%s", HPA_ADDRESS, HPA_PORT);
    const char* hpaArgv[] = {"in.tftpd", "-L", "-s", dir, "-a", hpaListen, nullptr};
    pid_t hpa = spawn(hpaArgv, -1);
    if (hpa < 0) {
        fprintf(stderr, "cannot start in.tftpd\n");
        return 1;
    }
    usleep(200000);

    printf("image %s, %zu bytes; %d runs each, interleaved; client atftp on loopback\n", imagePath, image.size(), runs);
    std::vector<double> ours, theirs;
    bool failed = false;
    for (int i = -1; i < runs && !failed; ++i) {  // run -1 warms up both
        Server s = startServer(self, OUR_ADDRESS, imagePath);
        char port[16];
        snprintf(port, sizeof port, "%u", s.port);
        double a = s.port ? timedDownload(OUR_ADDRESS, port, outOurs, image) : -1;
        stopServer(s);
        double b = timedDownload(HPA_ADDRESS, HPA_PORT, outHpa, image);
        if (a < 0 || b < 0) {
            fprintf(stderr, "run %d failed: ours %.4f, in.tftpd %.4f\n", i, a, b);
            failed = true;
        } else if (i >= 0) {
            ours.push_back(a);
            theirs.push_back(b);
        }
    }
    kill(hpa, SIGTERM);
    waitExit(hpa);
    remove(served);
    remove(outOurs);
    remove(outHpa);
    if (failed) {
        rmdir(dir);
        return 1;
    }
    double mo = median(ours), mt = median(theirs);
    printf("ulx listener+session: median %.4f s (min %.4f, max %.4f)\n", mo,
           *std::min_element(ours.begin(), ours.end()), *std::max_element(ours.begin(), ours.end()));
    printf("in.tftpd (tftpd-hpa): median %.4f s (min %.4f, max %.4f)\n", mt,
           *std::min_element(theirs.begin(), theirs.end()), *std::max_element(theirs.begin(), theirs.end()));
    printf("ratio ulx / in.tftpd: %.2f\n", mo / mt);

    // The listener waiting for a read request that does not come.
    Server idle = startServer(self, IDLE_ADDRESS, imagePath);
    if (!idle.port) {
        fprintf(stderr, "cannot start the idle listener\n");
        rmdir(dir);
        return 1;
    }
    double before = processCpuSeconds(idle.pid);
    double start = nowSeconds();
    sleep(IDLE_SECONDS);
    double cpu = processCpuSeconds(idle.pid) - before;
    double wall = nowSeconds() - start;
    stopServer(idle);
    printf("idle listener: %.1f ms CPU in %.1f s of waiting (%.3f %% of one core)\n", cpu * 1000, wall,
           cpu / wall * 100);
    rmdir(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "serve") == 0) serve(argv[2], argv[3]);
    int runs = 21;
    const char* image = "images/ulx7400-3.1.7.bin";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--image") == 0) image = argv[i + 1];
    }
    if (runs < 15) runs = 15;
    static char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    return runBenchmark(self, runs, image);
}
