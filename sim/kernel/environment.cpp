#include "environment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bounded_search.h"
#include "bugcheck.h"

namespace sim {

namespace {

// The variable's text, or nothing when it is unset or empty.
std::optional<std::string> Text(const char *name)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return std::nullopt;
    return std::string(text);
}

[[noreturn]] void Refuse(const char *name, const std::string &what, const std::string &text)
{
    BugCheck("SIMULATION_MISUSE", std::string(name) + " must be " + what + ", not '" + text + "'");
}

// A whole unsigned number (decimal, or 0x hexadecimal) in [low, high].
std::optional<uint64_t> Number(const char *name, uint64_t low, uint64_t high)
{
    const auto text = Text(name);
    if (!text)
        return std::nullopt;
    const std::string range = "a number from " + std::to_string(low) + " to " + std::to_string(high);
    if ((*text)[0] == '-' || (*text)[0] == '+')
        Refuse(name, range, *text);
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text->c_str(), &end, 0);
    if (errno || *end || value < low || value > high)
        Refuse(name, range, *text);
    return value;
}

Environment Read()
{
    Environment env;
    env.seed = Number("NUVIX_SIM_SEED", 0, UINT64_MAX);
    if (const auto text = Text("NUVIX_SIM_SCHEDULE")) {
        env.schedule = ParseSchedule(*text);
        if (!env.schedule)
            Refuse("NUVIX_SIM_SCHEDULE", "real, random, pct or bounded", *text);
    }
    env.pctSteps = Number("NUVIX_SIM_PCT_STEPS", 1, UINT64_MAX);
    env.pctDepth = static_cast<int>(Number("NUVIX_SIM_PCT_DEPTH", 1, 64).value_or(3));
    if (const auto text = Text("NUVIX_SIM_CHOICES")) {
        env.choices = ParseChoices(*text);
        if (!env.choices)
            Refuse("NUVIX_SIM_CHOICES", "a schedule id like 12:3,40:1 (decision:thread)", *text);
    }
    if (const auto bound = Number("NUVIX_SIM_EXPLORE", 0, 16))
        env.exploreBound = static_cast<int>(*bound);
    env.exploreLimit = Number("NUVIX_SIM_EXPLORE_LIMIT", 1, UINT64_MAX).value_or(env.exploreLimit);
    if (const auto text = Text("NUVIX_SIM_SHARD")) {
        int i = -1, n = 0;
        char end = 0;
        if (std::sscanf(text->c_str(), "%d/%d%c", &i, &n, &end) != 2 || n < 1 || i < 0 || i >= n)
            Refuse("NUVIX_SIM_SHARD", "I/N with 0 <= I < N", *text);
        env.shard = i;
        env.shards = n;
    }
    env.jitterPercent = static_cast<int>(Number("NUVIX_SIM_JITTER", 0, 100).value_or(0));
    env.quarantine = static_cast<size_t>(Number("NUVIX_SIM_QUARANTINE", 1, 1u << 24).value_or(env.quarantine));
    env.schedules = static_cast<int>(Number("NUVIX_SIM_SCHEDULES", 1, 100000).value_or(0));
    return env;
}

}  // namespace

const Environment &Env()
{
    static const Environment env = Read();
    return env;
}

}  // namespace sim
