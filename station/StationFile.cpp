#include "StationFile.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>

#include "Text.h"

namespace station {

namespace {

// "FILE:LINE: " (no line when it is not known).
std::string Where(const std::string &file, toml::source_index line) {
    std::ostringstream text;
    text << file;
    if (line > 0) text << ':' << line;
    text << ": ";
    return text.str();
}

struct Reader {
    std::string file;
    std::string error;

    // Written through a stream: GCC 12 at -O3 takes `"x" + std::string` here for an overlapping
    // copy (-Wrestrict), a known false positive.
    bool Fail(const toml::node *node, const std::string &key, const std::string &message) {
        if (!error.empty()) return false;
        error = Where(file, node != nullptr ? node->source().begin.line : 0) + key + ": " + message;
        return false;
    }

    // Keys the station does not know are refused: a misspelt key would silently do nothing.
    bool OnlyKeys(const toml::table &table, const std::string &where,
                  const std::set<std::string> &known) {
        for (const auto &[key, node] : table) {
            if (known.count(std::string(key.str())) == 0) {
                std::string list;
                for (const std::string &k : known) list += (list.empty() ? "" : ", ") + k;
                return Fail(&node, where + std::string(key.str()),
                            "unknown key (known here: " + list + ")");
            }
        }
        return true;
    }

    bool String(const toml::table &table, const std::string &where, const char *key,
                std::string &out, bool required) {
        const toml::node *node = table.get(key);
        if (node == nullptr) {
            if (required) return Fail(&table, where + key, "missing");
            return true;
        }
        if (!node->is_string()) return Fail(node, where + key, "must be a string");
        out = node->as_string()->get();
        if (required && out.empty()) return Fail(node, where + key, "must not be empty");
        return true;
    }

    bool Vars(const toml::table &table, const std::string &where, fixture::Variables &out) {
        const toml::node *node = table.get("vars");
        if (node == nullptr) return true;
        if (!node->is_table()) return Fail(node, where + "vars", "must be a table");
        for (const auto &[key, value] : *node->as_table()) {
            const std::string name(key.str());
            if (value.is_string()) {
                out[name] = value.as_string()->get();
            } else if (value.is_integer()) {
                out[name] = std::to_string(value.as_integer()->get());
            } else {
                return Fail(&value, where + "vars." + name, "must be a string or a number");
            }
        }
        return true;
    }
};

std::string Resolve(const std::string &folder, const std::string &path) {
    if (path.empty() || path.front() == '/') return path;
    return (std::filesystem::path(folder) / path).lexically_normal().string();
}

}  // namespace

bool IsLoopbackHost(const std::string &host) {
    // A literal address, parsed whole: "127.evil.example" begins like one and is not.
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "::1";
}

bool IsLoopbackAddress(const std::string &address) {
    std::string host = address.substr(0, address.rfind(':'));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return IsLoopbackHost(host);
}

fixture::Variables SlotVariables(const StationConfig &config, const SlotConfig &slot,
                                 const VariantConfig *variant) {
    fixture::Variables vars = config.vars;
    vars["STATION"] = config.name;
    vars["SLOT"] = slot.name;
    if (variant != nullptr) {
        for (const auto &[key, value] : variant->vars) vars[key] = value;
    }
    for (const auto &[key, value] : slot.vars) vars[key] = value;
    return vars;
}

std::vector<std::string> SecretValues(const StationConfig &config, const fixture::Variables &vars) {
    std::vector<std::string> values;
    for (const std::string &name : config.secrets) {
        if (auto found = vars.find(name); found != vars.end()) values.push_back(found->second);
    }
    return values;
}

const VariantConfig *FindVariant(const StationConfig &config, const std::string &boardType) {
    const auto same = [](unsigned char a, unsigned char b) {
        return std::tolower(a) == std::tolower(b);
    };
    for (const VariantConfig &variant : config.variants) {
        if (std::equal(variant.name.begin(), variant.name.end(), boardType.begin(), boardType.end(),
                       same)) {
            return &variant;
        }
    }
    return nullptr;
}

namespace {

// A station or slot name: it goes into file names and onto the terminal as it is.
constexpr size_t kMaxNameBytes = 64;

bool Name(Reader &r, const toml::table &table, const std::string &where, const char *key,
          std::string &out) {
    if (!r.String(table, where, key, out, true)) return false;
    const char *wrong = out.size() > kMaxNameBytes     ? "at most 64 bytes"
                        : !fixture::PrintableUtf8(out) ? "printable UTF-8, no control characters"
                        : out.find('/') != std::string::npos ? "no '/' (it names files)"
                                                             : nullptr;
    return wrong == nullptr || r.Fail(table.get(key), where + key, std::string("must be ") + wrong);
}

bool Parse(const std::string &path, toml::table &root, std::string &error) {
    std::string text;
    if (!fixture::ReadTextFile(path, fixture::kMaxPlanFileBytes, text, error)) return false;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error &e) {
        error = Where(path, e.source().begin.line) + std::string(e.description());
        return false;
    }
    return true;
}

// A plan that is no regular file, or too large, is refused before anything reads it.
bool PlanFile(Reader &r, const toml::table &root, const std::string &folder, std::string &path) {
    if (!r.String(root, "", "plan", path, true)) return false;
    path = Resolve(folder, path);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;  // said when the plan is read
    if (!S_ISREG(info.st_mode)) return r.Fail(root.get("plan"), "plan", "not a regular file");
    if (static_cast<size_t>(info.st_size) > fixture::kMaxPlanFileBytes) {
        return r.Fail(root.get("plan"), "plan", "larger than 1 MB");
    }
    return true;
}

// A list of strings at `table`.`key` (`where` is its dotted name in errors).
bool Strings(Reader &r, const toml::table &table, const char *key, const std::string &where,
             std::vector<std::string> &out) {
    const toml::node *node = table.get(key);
    if (node == nullptr) return true;
    const toml::array *list = node->as_array();
    for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
        if (!list->get(i)->is_string()) return r.Fail(node, where, "must be a list of strings");
        out.push_back(list->get(i)->as_string()->get());
    }
    return list != nullptr || r.Fail(node, where, "must be a list of strings");
}

bool Top(Reader &r, const toml::table &root, const std::string &folder, StationConfig &out) {
    return r.OnlyKeys(root, "",
                      {"name", "plan", "operator", "vars", "store", "web", "slot", "cfx", "variant",
                       "max_failures", "secrets"}) &&
           Name(r, root, "", "name", out.name) && PlanFile(r, root, folder, out.planPath) &&
           r.String(root, "", "operator", out.operatorName, false) && r.Vars(root, "", out.vars) &&
           Strings(r, root, "secrets", "secrets", out.secrets);
}

const toml::table *Table(Reader &r, const toml::table &root, const char *key, bool &ok) {
    const toml::node *node = root.get(key);
    ok = node == nullptr || node->is_table() || r.Fail(node, key, "must be a table");
    return ok ? root.get_as<toml::table>(key) : nullptr;
}

bool Store(Reader &r, const toml::table &root, const std::string &folder, StationConfig &out) {
    out.sqlitePath = Resolve(folder, out.name + ".db");
    bool ok = true;
    const toml::table *store = Table(r, root, "store", ok);
    if (store != nullptr) {
        if (!r.OnlyKeys(*store, "store.", {"sqlite", "postgres", "junit"}) ||
            !r.String(*store, "store.", "sqlite", out.sqlitePath, false) ||
            !r.String(*store, "store.", "postgres", out.postgres, false) ||
            !r.String(*store, "store.", "junit", out.junitDir, false)) {
            return false;
        }
        out.sqlitePath = Resolve(folder, out.sqlitePath);
        out.junitDir = Resolve(folder, out.junitDir);
    }
    // A JUnit file per run unless the file says otherwise (junit = "" for none).
    if (store == nullptr || store->get("junit") == nullptr) {
        out.junitDir =
            (std::filesystem::path(out.sqlitePath).parent_path() / "junit").lexically_normal();
    }
    return ok;
}

// [cfx], the factory's message bus. Only the password file's path is kept: the password is
// read when a batch is sent.
bool Cfx(Reader &r, const toml::table &root, const std::string &folder, StationConfig &out) {
    out.cfx.handle = out.name;
    bool ok = true;
    const toml::table *cfx = Table(r, root, "cfx", ok);
    if (cfx == nullptr) return ok;
    AmqpOptions &amqp = out.cfx.amqp;
    if (!r.OnlyKeys(*cfx, "cfx.", {"broker", "address", "handle", "user", "password_file"}) ||
        !r.String(*cfx, "cfx.", "broker", amqp.broker, true) ||
        !r.String(*cfx, "cfx.", "address", amqp.address, false) ||
        !r.String(*cfx, "cfx.", "handle", out.cfx.handle, false) ||
        !r.String(*cfx, "cfx.", "user", amqp.user, false) ||
        !r.String(*cfx, "cfx.", "password_file", amqp.passwordFile, false)) {
        return false;
    }
    if (!amqp.user.empty() && amqp.passwordFile.empty()) {
        return r.Fail(root.get("cfx"), "cfx.password_file",
                      "missing: a user's password is kept in a file");
    }
    amqp.passwordFile = Resolve(folder, amqp.passwordFile);
    return true;
}

bool Web(Reader &r, const toml::table &root, StationConfig &out) {
    bool ok = true;
    const toml::table *web = Table(r, root, "web", ok);
    if (web == nullptr) return ok;
    out.web = true;
    if (!r.OnlyKeys(*web, "web.", {"address", "token", "public", "hosts"}) ||
        !r.String(*web, "web.", "address", out.webOptions.address, false) ||
        !r.String(*web, "web.", "token", out.webOptions.token, false) ||
        !Strings(r, *web, "hosts", "web.hosts", out.webOptions.hosts)) {
        return false;
    }
    const toml::node *isPublic = web->get("public");
    if (isPublic != nullptr && !isPublic->is_boolean()) {
        return r.Fail(isPublic, "web.public", "must be true or false");
    }
    const bool open = isPublic != nullptr && isPublic->as_boolean()->get();
    if (!IsLoopbackAddress(out.webOptions.address) && !open) {
        return r.Fail(web->get("address") ? web->get("address") : root.get("web"), "web.address",
                      "not a loopback address: the page would be reachable from other "
                      "machines; say so with public = true");
    }
    return true;
}

bool PromptHook(Reader &r, const toml::table &table, SlotConfig &slot) {
    const toml::node *hook = table.get("on_prompt");
    if (hook == nullptr) return true;
    const toml::array *words = hook->as_array();
    if (words == nullptr || words->empty()) {
        return r.Fail(hook, "slot.on_prompt", "a program and its arguments, as a list");
    }
    for (const toml::node &word : *words) {
        if (!word.is_string())
            return r.Fail(&word, "slot.on_prompt", "every word must be a string");
        slot.onPrompt.push_back(word.as_string()->get());
    }
    return true;
}

bool Variants(Reader &r, const toml::table &root, const std::string &folder, StationConfig &out) {
    const toml::node *max = root.get("max_failures");
    if (max != nullptr) {
        const int64_t n = max->is_integer() ? max->as_integer()->get() : 0;
        if (n < 1 || n > 1000) return r.Fail(max, "max_failures", "a whole number, 1-1000");
        out.maxFailures = static_cast<int>(n);
    }
    const toml::node *variants = root.get("variant");
    if (variants == nullptr) return true;
    if (!variants->is_array_of_tables()) {
        return r.Fail(variants, "variant", "give one [[variant]] table per board type");
    }
    for (const toml::node &node : *variants->as_array()) {
        const toml::table &table = *node.as_table();
        VariantConfig variant;
        if (!r.OnlyKeys(table, "variant.", {"name", "plan", "vars"}) ||
            !Name(r, table, "variant.", "name", variant.name) ||
            !PlanFile(r, table, folder, variant.planPath) ||
            !r.Vars(table, "variant.", variant.vars)) {
            return false;
        }
        if (FindVariant(out, variant.name) != nullptr) {
            return r.Fail(table.get("name"), "variant.name", "'" + variant.name + "' twice");
        }
        out.variants.push_back(std::move(variant));
    }
    return true;
}

bool Slots(Reader &r, const toml::table &root, const std::string &folder, StationConfig &out) {
    const toml::node *slots = root.get("slot");
    if (slots == nullptr || !slots->is_array_of_tables() || slots->as_array()->empty()) {
        return r.Fail(slots ? slots : &root, "slot", "give one [[slot]] table per board");
    }
    std::set<std::string> names;
    for (const toml::node &node : *slots->as_array()) {
        const toml::table &table = *node.as_table();
        SlotConfig slot;
        if (!r.OnlyKeys(table, "slot.", {"name", "port", "vars", "on_prompt"}) ||
            !Name(r, table, "slot.", "name", slot.name) ||
            !r.String(table, "slot.", "port", slot.port, true) ||
            !r.Vars(table, "slot.", slot.vars) || !PromptHook(r, table, slot)) {
            return false;
        }
        if (!names.insert(slot.name).second) {
            return r.Fail(table.get("name"), "slot.name", "'" + slot.name + "' twice");
        }
        slot.port = Resolve(folder, slot.port);
        out.slots.push_back(std::move(slot));
    }
    return true;
}

}  // namespace

bool LoadStationFile(const std::string &path, StationConfig &out, std::string &error) {
    out = StationConfig{};
    out.path = path;
    toml::table root;
    if (!Parse(path, root, error)) return false;
    const std::string folder = std::filesystem::path(path).parent_path().string();
    Reader r{path, ""};
    if (Top(r, root, folder, out) && Store(r, root, folder, out) && Web(r, root, out) &&
        Cfx(r, root, folder, out) && Variants(r, root, folder, out) &&
        Slots(r, root, folder, out)) {
        return true;
    }
    error = r.error;
    return false;
}

}  // namespace station
