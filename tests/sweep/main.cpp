// nuvix_sweeps: runs the fault sweeps, each case in a process of its own.
//
//   nuvix_sweeps [--sweep NAME[,NAME...]] [--share ci|full] [--from N] [--to N]
//                [--thin K] [--jobs J] [--timeout SECONDS] [--list] [--verbose]
//                [--shard I/N] [--results FILE]
//   nuvix_sweeps --case ID [--seed S]      replays one case in this process
//
// A campaign across machines runs shard I of N on each (--shard, or
// GoogleTest's GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS): case k of each
// sweep's selection belongs to shard k mod N. --results writes one line a
// case, "<id> pass" or "<id> fail <signature>", so that the shards' files,
// sorted together, equal one run's (scripts/campaign.sh merges them).
//
// Every failing case is printed with its id, its seed and the command that
// replays just that case; the exit status is 1 if any case failed.
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct Options {
    std::vector<std::string> sweeps;
    bool ci = false;
    size_t thin = 1;
    size_t from = 0;
    size_t to = SIZE_MAX;
    unsigned jobs = 1;
    unsigned timeout = 120;
    bool list = false;
    bool verbose = false;
    std::optional<std::string> replay;
    std::optional<uint64_t> seed;
    size_t shard = 0;
    size_t shards = 1;
    std::string results;
};

std::string gSelf;

void Usage(FILE *to)
{
    std::fprintf(to,
                 "usage: nuvix_sweeps [--sweep NAME[,NAME...]] [--share ci|full] [--from N] [--to N]\n"
                 "                    [--thin K] [--jobs J] [--timeout SECONDS] [--list] [--verbose]\n"
                 "                    [--shard I/N] [--results FILE]\n"
                 "       nuvix_sweeps --case ID [--seed S]\n"
                 "--shard I/N runs the cases k with k mod N = I (default: GTEST_SHARD_INDEX and\n"
                 "GTEST_TOTAL_SHARDS); --results writes a line a case, \"<id> pass|fail ...\".\n"
                 "--thin K keeps every Kth case of the share; --timeout limits each case's wall-clock\n"
                 "time (default 120 s); --jobs runs that many cases at once (default 1).\n"
                 "--from/--to select cases [N, M) of each chosen sweep's list (its full list,\n"
                 "or the CI share with --share ci); --list prints the ids. Sweeps:\n");
    for (const auto &sweep : sweep::Registry())
        std::fprintf(to, "  %-9s %s\n", sweep.name.c_str(), sweep.what.c_str());
}

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

bool ParseShard(const std::string &text, Options &options)
{
    unsigned long i = 0, n = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%lu/%lu%c", &i, &n, &end) != 2 || n < 1 || i >= n)
        return false;
    options.shard = i;
    options.shards = n;
    return true;
}

Options Parse(int argc, char **argv)
{
    Options options;
    if (const char *index = std::getenv("GTEST_SHARD_INDEX"), *total = std::getenv("GTEST_TOTAL_SHARDS");
        index && total && !ParseShard(std::string(index) + "/" + total, options)) {
        std::fprintf(stderr, "GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS must make a shard I of N\n");
        std::exit(2);
    }
    auto value = [&](int &i) -> std::string {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", argv[i]);
            Usage(stderr);
            std::exit(2);
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--sweep")
            options.sweeps = Split(value(i));
        else if (arg == "--share") {
            std::string share = value(i);
            if (share != "ci" && share != "full") {
                std::fprintf(stderr, "--share takes ci or full\n");
                std::exit(2);
            }
            options.ci = share == "ci";
        } else if (arg == "--thin")
            options.thin = std::max<size_t>(1, std::stoull(value(i)));
        else if (arg == "--from")
            options.from = std::stoull(value(i));
        else if (arg == "--to")
            options.to = std::stoull(value(i));
        else if (arg == "--jobs")
            options.jobs = std::max(1, std::stoi(value(i)));
        else if (arg == "--timeout")
            options.timeout = static_cast<unsigned>(std::stoul(value(i)));
        else if (arg == "--list")
            options.list = true;
        else if (arg == "--shard") {
            if (!ParseShard(value(i), options)) {
                std::fprintf(stderr, "--shard takes I/N with 0 <= I < N\n");
                std::exit(2);
            }
        } else if (arg == "--results")
            options.results = value(i);
        else if (arg == "--verbose")
            options.verbose = true;
        else if (arg == "--case")
            options.replay = value(i);
        else if (arg == "--seed")
            options.seed = std::stoull(value(i));
        else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            Usage(stderr);
            std::exit(2);
        }
    }
    for (const auto &name : options.sweeps) {
        bool known = false;
        for (const auto &sweep : sweep::Registry())
            known = known || sweep.name == name;
        if (!known) {
            std::fprintf(stderr, "no sweep named %s\n", name.c_str());
            Usage(stderr);
            std::exit(2);
        }
    }
    return options;
}

// What a failed case's output says went wrong, in one line.
std::string Normalise(std::string text, const std::string &id)
{
    for (size_t at; (at = text.find(id)) != std::string::npos;)
        text.replace(at, id.size(), "<case>");
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            out += 'N';
            while (i + 1 < text.size() && std::isalnum(static_cast<unsigned char>(text[i + 1])))
                i++;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Signature(const std::string &output, int status, bool timedOut, const std::string &id)
{
    if (timedOut)
        return "hang: no end within the wall-clock limit";
    std::istringstream in(output);
    std::string check;
    for (std::string line; std::getline(in, line);) {
        auto at = [&](const char *marker) { return line.find(marker) != std::string::npos; };
        if (at("*** SIMULATED BUG CHECK: "))
            return "bug check " + line.substr(line.find("CHECK: ") + 7);
        if (at("ERROR: AddressSanitizer: "))
            return "AddressSanitizer: " + line.substr(line.find("Sanitizer: ") + 11, 60);
        if (at("ERROR: LeakSanitizer"))
            return "LeakSanitizer";
        if (at("runtime error: "))
            return "UndefinedBehaviorSanitizer: " + line.substr(line.find("runtime error: ") + 15, 80);
        if (check.empty() && at("CHECK FAILED: "))
            check = line.substr(line.find("CHECK FAILED: ") + 14);
    }
    if (!check.empty()) {
        // Without the source position and numbers that vary between cases.
        auto bracket = check.rfind(" [");
        if (bracket != std::string::npos)
            check.resize(bracket);
        return "check: " + Normalise(check, id).substr(0, 160);
    }
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// The lines of a failed case's output worth showing.
std::string Excerpt(const std::string &output, size_t maxLines)
{
    std::istringstream in(output);
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);) {
        if (line.find("CHECK FAILED") != std::string::npos || line.find("*** ") == 0 ||
            line.find("ERROR: ") != std::string::npos || line.find("runtime error") != std::string::npos ||
            line.find("SUMMARY: ") != std::string::npos || line.find("  note: ") == 0 || line.find("  thread ") == 0 ||
            line.find("    #") == 0)
            kept.push_back(line);
    }
    std::string text;
    size_t skip = kept.size() > maxLines ? kept.size() - maxLines : 0;
    if (skip)
        text += "    | ... (" + std::to_string(skip) + " earlier lines)\n";
    for (size_t i = skip; i < kept.size(); i++)
        text += "    | " + kept[i].substr(0, 300) + "\n";
    return text;
}

struct Running {
    pid_t pid;
    std::string id;
    uint64_t seed;
    std::string path;
    std::chrono::steady_clock::time_point started;
};

struct Tally {
    size_t run = 0, failed = 0;
    double seconds = 0;
    std::map<std::string, std::vector<std::string>> signatures;
};

std::string ReplayCommand(const std::string &id, uint64_t seed)
{
    return gSelf + " --case " + id + " --seed " + std::to_string(seed);
}

void RunCaseHere(const sweep::Case &c, uint64_t seed)
{
    c.run(seed);
    std::fflush(stdout);
    std::fflush(stderr);
}

int Replay(const Options &options)
{
    for (const auto &sweep : sweep::Registry()) {
        if (options.replay->rfind(sweep.name + ":", 0) != 0)
            continue;
        for (const auto &c : sweep.cases()) {
            if (c.id != *options.replay)
                continue;
            uint64_t seed = options.seed.value_or(sweep::SeedFor(c.id));
            std::printf("case %s seed %llu\n", c.id.c_str(), static_cast<unsigned long long>(seed));
            std::fflush(stdout);
            RunCaseHere(c, seed);
            bool failed = sweep::Failed();
            std::printf("%s %s\n", failed ? "FAIL" : "PASS", c.id.c_str());
            std::fflush(stdout);
            _exit(failed ? 1 : 0);
        }
    }
    std::fprintf(stderr, "no case %s (nuvix_sweeps --list shows them)\n", options.replay->c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    char resolved[PATH_MAX];
    gSelf = realpath("/proc/self/exe", resolved) ? resolved : argv[0];
    Options options = Parse(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (options.replay)
        return Replay(options);

    std::vector<const sweep::Sweep *> chosen;
    for (const auto &sweep : sweep::Registry())
        if (options.sweeps.empty() ||
            std::find(options.sweeps.begin(), options.sweeps.end(), sweep.name) != options.sweeps.end())
            chosen.push_back(&sweep);

    bool anyFailed = false;
    std::map<std::string, Tally> tallies;
    FILE *results = nullptr;
    if (!options.results.empty() && !options.list && !(results = std::fopen(options.results.c_str(), "w"))) {
        std::fprintf(stderr, "cannot write %s\n", options.results.c_str());
        return 2;
    }
    for (const sweep::Sweep *sweep : chosen) {
        std::vector<sweep::Case> all = sweep->cases();
        std::vector<const sweep::Case *> share;
        for (size_t i = 0; i < all.size(); i++)
            if ((!options.ci || i % sweep->ciStride == 0) && (options.ci ? i / sweep->ciStride : i) % options.thin == 0)
                share.push_back(&all[i]);
        if (options.shards > 1) {
            std::vector<const sweep::Case *> mine;
            for (size_t k = 0; k < share.size(); k++)
                if (k % options.shards == options.shard)
                    mine.push_back(share[k]);
            share = std::move(mine);
        }
        size_t from = std::min(options.from, share.size());
        size_t to = std::min(options.to, share.size());
        if (options.list) {
            std::printf("# %s: %zu cases in the full sweep, %zu in the CI share\n", sweep->name.c_str(), all.size(),
                        (all.size() + sweep->ciStride - 1) / sweep->ciStride);
            for (size_t i = from; i < to; i++)
                std::printf("%zu %s\n", i, share[i]->id.c_str());
            continue;
        }
        std::printf("== sweep %s: cases [%zu, %zu) of %zu (%s)\n", sweep->name.c_str(), from, to, share.size(),
                    options.ci ? "CI share" : "full sweep");
        Tally &tally = tallies[sweep->name];
        auto start = std::chrono::steady_clock::now();
        std::vector<Running> running;
        size_t next = from;
        auto reap = [&](bool block) {
            int status = 0;
            pid_t pid = waitpid(-1, &status, block ? 0 : WNOHANG);
            if (pid <= 0)
                return false;
            auto it = std::find_if(running.begin(), running.end(), [&](const Running &r) { return r.pid == pid; });
            if (it == running.end())
                return true;
            Running done = *it;
            running.erase(it);
            std::ifstream in(done.path);
            std::stringstream text;
            text << in.rdbuf();
            unlink(done.path.c_str());
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - done.started).count();
            bool timedOut = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
            bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            tally.run++;
            if (options.verbose)
                std::printf("---- %s (%.2f s)\n%s", done.id.c_str(), seconds, text.str().c_str());
            if (results)
                std::fprintf(results, "%s %s\n", done.id.c_str(),
                             ok ? "pass" : ("fail " + Signature(text.str(), status, timedOut, done.id)).c_str());
            if (ok) {
                if (options.verbose)
                    std::printf("PASS %s\n", done.id.c_str());
                return true;
            }
            anyFailed = true;
            tally.failed++;
            std::string signature = Signature(text.str(), status, timedOut, done.id);
            tally.signatures[signature].push_back(done.id);
            std::printf("FAIL %s seed %llu (%.2f s): %s\n  replay: %s\n%s", done.id.c_str(),
                        static_cast<unsigned long long>(done.seed), seconds, signature.c_str(),
                        ReplayCommand(done.id, done.seed).c_str(), Excerpt(text.str(), 14).c_str());
            return true;
        };
        while (next < to || !running.empty()) {
            while (next < to && running.size() < options.jobs) {
                const sweep::Case &c = *share[next++];
                uint64_t seed = options.seed.value_or(sweep::SeedFor(c.id));
                char path[] = "/tmp/nuvix-sweep-XXXXXX";
                int fd = mkstemp(path);
                std::fflush(stdout);
                std::fflush(stderr);
                pid_t pid = fork();
                if (pid == 0) {
                    dup2(fd, 1);
                    dup2(fd, 2);
                    close(fd);
                    alarm(options.timeout);
                    std::printf("case %s seed %llu\n", c.id.c_str(), static_cast<unsigned long long>(seed));
                    RunCaseHere(c, seed);
                    _exit(sweep::Failed() ? 1 : 0);
                }
                close(fd);
                running.push_back({pid, c.id, seed, path, std::chrono::steady_clock::now()});
            }
            reap(true);
        }
        tally.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("== sweep %s: %zu cases, %zu failed, %.1f s\n", sweep->name.c_str(), tally.run, tally.failed,
                    tally.seconds);
    }
    if (options.list)
        return 0;
    if (results)
        std::fclose(results);
    std::printf("\n== summary\n");
    for (auto &[name, tally] : tallies) {
        std::printf("%-9s %6zu cases %5zu failed %8.1f s\n", name.c_str(), tally.run, tally.failed, tally.seconds);
        for (auto &[signature, ids] : tally.signatures) {
            std::string some;
            for (size_t i = 0; i < ids.size() && i < 4; i++)
                some += (i ? ", " : "") + ids[i];
            if (ids.size() > 4)
                some += ", ...";
            std::printf("    %4zu x %s\n           e.g. %s\n", ids.size(), signature.c_str(), some.c_str());
        }
    }
    return anyFailed ? 1 : 0;
}
