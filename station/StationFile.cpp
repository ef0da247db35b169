#include "StationFile.h"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace station {

namespace {

struct Reader {
    std::string file;
    std::string error;

    bool Fail(const toml::node *node, const std::string &key, const std::string &message) {
        if (!error.empty()) return false;
        error = file;
        if (node != nullptr && node->source().begin.line > 0) {
            error += ":" + std::to_string(node->source().begin.line);
        }
        error += ": " + key + ": " + message;
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
            !r.String(table, "variant.", "name", variant.name, true) ||
            !r.String(table, "variant.", "plan", variant.planPath, true) ||
            !r.Vars(table, "variant.", variant.vars)) {
            return false;
        }
        if (FindVariant(out, variant.name) != nullptr) {
            return r.Fail(table.get("name"), "variant.name", "'" + variant.name + "' twice");
        }
        variant.planPath = Resolve(folder, variant.planPath);
        out.variants.push_back(std::move(variant));
    }
    return true;
}

}  // namespace

bool LoadStationFile(const std::string &path, StationConfig &out, std::string &error) {
    out = StationConfig{};
    out.path = path;
    Reader r{path, ""};
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        error = path + ":" + std::to_string(e.source().begin.line) + ": " +
                std::string(e.description());
        return false;
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    auto done = [&]() {
        error = r.error;
        return false;
    };
    if (!r.OnlyKeys(root, "",
                    {"name", "plan", "operator", "vars", "store", "web", "slot", "variant",
                     "max_failures"}) ||
        !r.String(root, "", "name", out.name, true) ||
        !r.String(root, "", "plan", out.planPath, true) ||
        !r.String(root, "", "operator", out.operatorName, false) || !r.Vars(root, "", out.vars)) {
        return done();
    }
    out.planPath = Resolve(folder, out.planPath);

    out.sqlitePath = Resolve(folder, out.name + ".db");
    if (const toml::node *node = root.get("store")) {
        if (!node->is_table()) return r.Fail(node, "store", "must be a table"), done();
        const toml::table &store = *node->as_table();
        if (!r.OnlyKeys(store, "store.", {"sqlite", "postgres", "junit"}) ||
            !r.String(store, "store.", "sqlite", out.sqlitePath, false) ||
            !r.String(store, "store.", "postgres", out.postgres, false) ||
            !r.String(store, "store.", "junit", out.junitDir, false)) {
            return done();
        }
        out.sqlitePath = Resolve(folder, out.sqlitePath);
        out.junitDir = Resolve(folder, out.junitDir);
    }

    if (const toml::node *node = root.get("web")) {
        if (!node->is_table()) return r.Fail(node, "web", "must be a table"), done();
        const toml::table &web = *node->as_table();
        out.web = true;
        if (!r.OnlyKeys(web, "web.", {"address", "token", "public", "hosts"}) ||
            !r.String(web, "web.", "address", out.webOptions.address, false) ||
            !r.String(web, "web.", "token", out.webOptions.token, false)) {
            return done();
        }
        // Further names the page may be reached by (a name for 127.0.0.1 in /etc/hosts).
        if (const toml::node *hosts = web.get("hosts")) {
            const toml::array *list = hosts->as_array();
            for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
                if (!list->get(i)->is_string())
                    list = nullptr;
                else
                    out.webOptions.hosts.push_back(list->get(i)->as_string()->get());
            }
            if (list == nullptr) return r.Fail(hosts, "web.hosts", "a list of host names"), done();
        }
        const toml::node *isPublic = web.get("public");
        if (isPublic != nullptr && !isPublic->is_boolean()) {
            return r.Fail(isPublic, "web.public", "must be true or false"), done();
        }
        const bool open = isPublic != nullptr && isPublic->as_boolean()->get();
        if (!IsLoopbackAddress(out.webOptions.address) && !open) {
            return r.Fail(web.get("address") ? web.get("address") : node, "web.address",
                          "not a loopback address: the page would be reachable from other "
                          "machines; say so with public = true"),
                   done();
        }
    }

    // A JUnit file per run unless the file says otherwise (junit = "" for none).
    const toml::node *store = root.get("store");
    if (store == nullptr || store->as_table()->get("junit") == nullptr) {
        out.junitDir =
            (std::filesystem::path(out.sqlitePath).parent_path() / "junit").lexically_normal();
    }

    if (!Variants(r, root, folder, out)) return done();
    const toml::node *slots = root.get("slot");
    if (slots == nullptr || !slots->is_array_of_tables() || slots->as_array()->empty()) {
        return r.Fail(slots ? slots : &root, "slot", "give one [[slot]] table per board"), done();
    }
    std::set<std::string> names;
    for (const toml::node &node : *slots->as_array()) {
        const toml::table &table = *node.as_table();
        SlotConfig slot;
        if (!r.OnlyKeys(table, "slot.", {"name", "port", "vars", "on_prompt"}) ||
            !r.String(table, "slot.", "name", slot.name, true) ||
            !r.String(table, "slot.", "port", slot.port, true) ||
            !r.Vars(table, "slot.", slot.vars)) {
            return done();
        }
        if (!names.insert(slot.name).second) {
            return r.Fail(table.get("name"), "slot.name", "'" + slot.name + "' twice"), done();
        }
        slot.port = Resolve(folder, slot.port);
        if (const toml::node *hook = table.get("on_prompt")) {
            const toml::array *words = hook->as_array();
            if (words == nullptr || words->empty()) {
                return r.Fail(hook, "slot.on_prompt", "a program and its arguments, as a list"),
                       done();
            }
            for (const toml::node &word : *words) {
                if (!word.is_string()) {
                    return r.Fail(&word, "slot.on_prompt", "every word must be a string"), done();
                }
                slot.onPrompt.push_back(word.as_string()->get());
            }
        }
        out.slots.push_back(std::move(slot));
    }
    return true;
}

}  // namespace station
