#include "scenario.h"
#include <fstream>
#include <sstream>
#include "wire.h"

namespace {
int typeCode(const std::string& name) {
    for (int t = 1; t <= 4; ++t)
        if (name == wire::typeName(t)) return t;
    return -1;
}

bool parseNumber(const std::string& text, int* out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
    *out = std::stoi(text);
    return true;
}

bool parseAction(const std::string& text, Rule* rule) {
    std::string verb = text.substr(0, text.find(':'));
    std::string arg = text.find(':') == std::string::npos ? "" : text.substr(text.find(':') + 1);
    if (verb == "ok" && arg.empty()) rule->action = Rule::OK;
    else if (verb == "error") {
        rule->action = Rule::ERROR;
        if (!arg.empty() && (!parseNumber(arg, &rule->reason) || rule->reason > 15)) return false;
    } else if (verb == "wait" && arg.empty()) rule->action = Rule::WAIT;
    else if (verb == "silent") {
        if (arg == "close") rule->action = Rule::SILENT_CLOSE;
        else {
            rule->action = Rule::SILENT_HOLD;
            rule->millis = 65000;
            if (!arg.empty() && !parseNumber(arg, &rule->millis)) return false;
        }
    } else if (verb == "wrong" && arg == "type") rule->action = Rule::WRONG_TYPE;
    else if (verb == "wrong" && arg == "seq") rule->action = Rule::WRONG_SEQ;
    else if (verb == "wrong" && arg == "uid") rule->action = Rule::WRONG_UID;
    else if (verb == "html" && arg == "404") rule->action = Rule::HTML404;
    else if (verb == "html" && arg == "500") rule->action = Rule::HTML500;
    else if (verb == "dribble") {
        rule->action = Rule::DRIBBLE;
        if (!parseNumber(arg, &rule->millis)) return false;
    } else if (verb == "delay") {
        rule->action = Rule::DELAY;
        if (!parseNumber(arg, &rule->millis)) return false;
    } else return false;
    return true;
}

bool parseSelector(std::string text, Rule* rule) {
    if (text == "all") return true;
    if (!text.empty() && text.back() == '+') {
        rule->onward = true;
        text.pop_back();
    }
    if (text.rfind("CHUNK=", 0) == 0 && !rule->onward) {
        rule->type = wire::CHUNK;
        return parseNumber(text.substr(6), &rule->chunk) && rule->chunk > 0;
    }
    size_t hash = text.find('#');
    std::string typePart = text.substr(0, hash);
    if (!typePart.empty() && (rule->type = typeCode(typePart)) < 0) return false;
    if (hash == std::string::npos) return !rule->onward && !typePart.empty();
    return parseNumber(text.substr(hash + 1), &rule->index) && rule->index > 0;
}
}  // namespace

bool Scenario::addRule(const std::string& line, std::string* why) {
    std::istringstream in(line);
    std::string action, selector, word;
    if (!(in >> action)) return true;  // blank
    if (action[0] == '#') return true;
    Rule rule;
    rule.text = line;
    if (!parseAction(action, &rule)) {
        *why = "unknown action \"" + action + "\" in rule: " + line;
        return false;
    }
    if (!(in >> selector) || !parseSelector(selector, &rule)) {
        *why = "bad selector \"" + selector + "\" in rule: " + line;
        return false;
    }
    while (in >> word) {
        if (word == "count" && in >> word && parseNumber(word, &rule.count)) continue;
        if (word == "per-job") {
            rule.perJob = true;
            continue;
        }
        *why = "unexpected \"" + word + "\" in rule: " + line;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(rule);
    return true;
}

bool Scenario::loadFile(const std::string& path, std::string* why) {
    std::ifstream in(path);
    if (!in) {
        *why = "cannot read scenario file " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line))
        if (!addRule(line, why)) return false;
    return true;
}

bool Scenario::matches(const Rule& rule, int type, unsigned runIndex, unsigned typeIndex, unsigned currentChunk) const {
    if (rule.type >= 0 && rule.type != type) return false;
    if (rule.chunk > 0) return currentChunk == static_cast<unsigned>(rule.chunk);
    if (rule.index == 0) return true;
    unsigned ordinal = rule.type >= 0 ? typeIndex : runIndex;
    return rule.onward ? ordinal >= static_cast<unsigned>(rule.index) : ordinal == static_cast<unsigned>(rule.index);
}

bool Scenario::takeCount(size_t ruleIndex, const std::string& uid) {
    const Rule& rule = m_rules[ruleIndex];
    if (rule.count < 0) return true;
    int& used = m_used[{ruleIndex, rule.perJob ? uid : std::string()}];
    if (used >= rule.count) return false;
    ++used;
    return true;
}

Decision Scenario::decide(int type, const std::string& uid, unsigned currentChunk) {
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned runIndex = ++m_messages;
    unsigned typeIndex = ++m_perType[type];
    Decision decision;
    bool decided = false;
    for (size_t i = 0; i < m_rules.size(); ++i) {
        const Rule& rule = m_rules[i];
        if (!matches(rule, type, runIndex, typeIndex, currentChunk)) continue;
        if (rule.action == Rule::DELAY) {
            if (!takeCount(i, uid)) continue;
            decision.delayMillis += rule.millis;
            decision.rules += (decision.rules.empty() ? "" : "; ") + rule.text;
            continue;
        }
        if (decided || !takeCount(i, uid)) continue;
        decided = true;
        decision.action = rule.action;
        decision.reason = rule.reason;
        decision.holdMillis = rule.millis;
        decision.rules += (decision.rules.empty() ? "" : "; ") + rule.text;
    }
    return decision;
}
