#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <istream>
#include <ostream>

#include "CleanupEndpoints.h"
#include "PrivateDir.h"
#include "RandomHex.h"
#include "ServerMain.h"
#include "UserStore.h"

namespace vserver {

namespace {

const char* const kUsersUsage =
    "usage: velmora-server users [--data-dir DIR | --database URL] COMMAND\n"
    "  add NAME [--plan free|pro|max] [--limit WORDS] [--email ADDRESS] [--status "
    "active|pending]\n"
    "           [--password-stdin]     prints the new user's id (their tokens' \"sub\")\n"
    "  list\n"
    "  set-plan NAME PLAN [--limit WORDS] [--until YYYY-MM-DD]\n"
    "  disable NAME | enable NAME\n"
    "  set-password NAME                reads the password from standard input\n";

// A version 4 UUID, the form the hosted sign-in service gives its users' ids.
std::optional<std::string> newUserId() {
    auto h = randomHex(16);
    if (!h) return std::nullopt;
    std::string& s = *h;
    s[12] = '4';
    s[16] = "89ab"[std::strtol(s.substr(16, 1).c_str(), nullptr, 16) & 3];
    return s.substr(0, 8) + "-" + s.substr(8, 4) + "-" + s.substr(12, 4) + "-" + s.substr(16, 4) +
           "-" + s.substr(20);
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-') return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

std::optional<int64_t> parseLimit(const std::string& s) {
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || *end || v < 0 || v > 1'000'000'000'000LL) return std::nullopt;
    return v;
}

// YYYY-MM-DD as the Unix time of its midnight, UTC.
std::optional<int64_t> parseDate(const std::string& s) {
    std::tm tm{};
    if (s.size() != 10 ||
        std::sscanf(s.c_str(), "%4d-%2d-%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3)
        return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31) return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm));
}

bool readPassword(std::istream& in, std::string& into, std::ostream& err) {
    if (!std::getline(in, into) || into.empty()) {
        err << "velmora-server users: no password on standard input\n";
        return false;
    }
    if (!into.empty() && into.back() == '\r') into.pop_back();
    return true;
}

}  // namespace

int runUsersCommand(const std::vector<std::string>& argsIn, std::istream& in, std::ostream& out,
                    std::ostream& err) {
    std::string dataDir, databaseUrl;
    if (const char* url = std::getenv("VELMORA_DATABASE_URL")) databaseUrl = url;
    std::vector<std::string> args;
    for (size_t i = 0; i < argsIn.size(); ++i) {
        if (argsIn[i] == "--data-dir" && i + 1 < argsIn.size())
            dataDir = argsIn[++i];
        else if (argsIn[i] == "--database" && i + 1 < argsIn.size())
            databaseUrl = argsIn[++i];
        else
            args.push_back(argsIn[i]);
    }
    auto fail = [&](const std::string& why) {
        err << "velmora-server users: " << why << "\n" << kUsersUsage;
        return 2;
    };
    if (args.empty()) return fail("a command is needed");
    const std::string cmd = args[0];
    std::string name, plan, email, status = "active";
    std::optional<int64_t> limit, until;
    bool passwordStdin = false;
    std::vector<std::string> positional;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--plan" && hasValue) {
            plan = args[++i];
        } else if (a == "--limit" && hasValue) {
            if (!(limit = parseLimit(args[++i]))) return fail("--limit wants a number of words");
        } else if (a == "--until" && hasValue) {
            if (!(until = parseDate(args[++i]))) return fail("--until wants YYYY-MM-DD");
        } else if (a == "--email" && hasValue) {
            email = args[++i];
        } else if (a == "--status" && hasValue) {
            status = args[++i];
        } else if (a == "--password-stdin") {
            passwordStdin = true;
        } else if (a.rfind("--", 0) == 0) {
            return fail("unknown or incomplete option " + a);
        } else {
            positional.push_back(a);
        }
    }
    auto wantPositional = [&](size_t n) { return positional.size() == n; };
    if (!plan.empty() && !validPlan(plan)) return fail("the plan is free, pro or max");
    if (status != "active" && status != "pending") return fail("--status is active or pending");

    if (dataDir.empty()) dataDir = defaultDataDir();
    if (databaseUrl.empty()) {
        if (const std::string problem = makePrivateDirs(dataDir); !problem.empty()) {
            err << "velmora-server users: " << problem << "\n";
            return 1;
        }
    }
    const std::unique_ptr<UserStore> opened = openUserStore({dataDir, databaseUrl});
    UserStore& store = *opened;
    if (!store.problem().empty()) {
        err << "velmora-server users: " << store.problem() << "\n";
        return 1;
    }

    if (cmd == "add") {
        if (!wantPositional(1)) return fail("add wants one NAME");
        User u;
        u.name = positional[0];
        if (!validName(u.name)) return fail("a name is 1 to 64 printable characters");
        const auto id = newUserId();
        if (!id) {
            err << "velmora-server users: no random bytes for an id\n";
            return 1;
        }
        u.id = *id;
        u.email = email;
        u.status = status;
        u.plan = plan.empty() ? "free" : plan;
        u.wordsLimit = limit.value_or(defaultLimit(u.plan));
        u.until = until;
        if (passwordStdin) {
            std::string password;
            if (!readPassword(in, password, err)) return 1;
            u.passwordHash = hashPassword(password);
        }
        if (const std::string why = store.add(u); !why.empty()) {
            err << "velmora-server users: " << why << "\n";
            return 1;
        }
        out << u.id << "\n";
        return 0;
    }
    if (cmd == "list") {
        if (!wantPositional(0)) return fail("list takes no names");
        const int month = monthOf(static_cast<int64_t>(std::time(nullptr)));
        for (const User& u : store.list()) {
            out << u.name << "\t" << u.id << "\t" << u.status << "\t" << u.plan << "\t"
                << (u.wordsMonth == month ? u.wordsUsed : 0) << "/" << u.wordsLimit << "\t"
                << u.email << "\n";
        }
        return 0;
    }
    if (cmd == "set-plan") {
        if (!wantPositional(2)) return fail("set-plan wants NAME and PLAN");
        if (!validPlan(positional[1])) return fail("the plan is free, pro or max");
        if (!store.setPlan(positional[0], positional[1],
                           limit.value_or(defaultLimit(positional[1])), until)) {
            err << "velmora-server users: no user named \"" << positional[0] << "\"\n";
            return 1;
        }
        return 0;
    }
    if (cmd == "disable" || cmd == "enable") {
        if (!wantPositional(1)) return fail(cmd + " wants one NAME");
        if (!store.setStatus(positional[0], cmd == "disable" ? "disabled" : "active")) {
            err << "velmora-server users: no user named \"" << positional[0] << "\"\n";
            return 1;
        }
        return 0;
    }
    if (cmd == "set-password") {
        if (!wantPositional(1)) return fail("set-password wants one NAME");
        std::string password;
        if (!readPassword(in, password, err)) return 1;
        if (!store.setPassword(positional[0], hashPassword(password))) {
            err << "velmora-server users: no user named \"" << positional[0] << "\"\n";
            return 1;
        }
        return 0;
    }
    return fail("unknown command " + cmd);
}

}  // namespace vserver
