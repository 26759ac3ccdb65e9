#include "harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace sweep {

namespace {
std::atomic<bool> gFailed{false};
std::mutex gPrintMutex;
}  // namespace

std::vector<Sweep> &Registry()
{
    static std::vector<Sweep> sweeps;
    return sweeps;
}

Registrar::Registrar(Sweep sweep) { Registry().push_back(std::move(sweep)); }

void Fail(const std::string &message)
{
    gFailed = true;
    std::lock_guard lock(gPrintMutex);
    std::fprintf(stdout, "CHECK FAILED: %s\n", message.c_str());
    std::fflush(stdout);
}

void Fatal(const std::string &message)
{
    {
        std::lock_guard lock(gPrintMutex);
        std::fprintf(stdout, "CHECK FAILED: %s\n(case stopped here)\n", message.c_str());
        std::fflush(stdout);
    }
    std::fflush(stderr);
    _exit(1);
}

bool Failed() { return gFailed; }

void Note(const std::string &message)
{
    std::lock_guard lock(gPrintMutex);
    std::fprintf(stdout, "  note: %s\n", message.c_str());
}

uint64_t SeedFor(const std::string &id)
{
    uint64_t hash = 1469598103934665603ull;
    for (char c : id) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 1099511628211ull;
    }
    return hash & 0xFFFFFFFF;
}

std::string RunInChild(const std::function<void()> &body, unsigned timeoutSeconds)
{
    char path[] = "/tmp/nuvix-sweep-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        std::exit(2);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        alarm(timeoutSeconds);
        body();
        std::fflush(stdout);
        _exit(gFailed ? 1 : 0);
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the measuring run failed (status %d):\n%s\n", status, text.str().c_str());
        std::exit(2);
    }
    return text.str();
}

}  // namespace sweep
