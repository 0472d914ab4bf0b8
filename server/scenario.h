// Faults the server plays on purpose, chosen per run.
//
// One rule per line:  ACTION SELECTOR [count N] [per-job]
//   ACTION    ok | error[:REASON] | wait | silent[:MS] | silent:close |
//             wrong:type | wrong:seq | wrong:uid | html:404 | html:500 | delay:MS |
//             dribble:MS (the answer one byte every MS milliseconds)
//   SELECTOR  all | #M | #M+ | TYPE | TYPE#K | TYPE#K+ | CHUNK=K
//             (#M: the M-th message of the run; TYPE#K: the K-th message of
//             that type; a trailing + means "and every one after it")
//   count N   the rule applies N times at most (per job with per-job)
// Lines starting with # are comments. The first matching rule decides the
// answer; delay rules add their delay on top.
#pragma once
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct Rule {
    enum Action { OK, ERROR, WAIT, SILENT_HOLD, SILENT_CLOSE, WRONG_TYPE, WRONG_SEQ, WRONG_UID, HTML404, HTML500, DELAY, DRIBBLE };
    Action action = OK;
    int reason = 0;
    int millis = 0;
    int type = -1;       // -1: any type
    int index = 0;       // 0: any ordinal
    bool onward = false;
    int chunk = 0;       // CHUNK=K
    int count = -1;      // -1: unlimited
    bool perJob = false;
    std::string text;
};

struct Decision {
    Rule::Action action = Rule::OK;
    int reason = 0;
    int holdMillis = 0;
    int delayMillis = 0;
    std::string rules;  // the texts of the rules that applied
};

class Scenario {
public:
    bool addRule(const std::string& line, std::string* why);
    bool loadFile(const std::string& path, std::string* why);
    // Decides the answer to one decoded message; counts it.
    Decision decide(int type, const std::string& uid, unsigned currentChunk);
    size_t size() const { return m_rules.size(); }

private:
    bool matches(const Rule& rule, int type, unsigned runIndex, unsigned typeIndex, unsigned currentChunk) const;
    bool takeCount(size_t ruleIndex, const std::string& uid);

    std::mutex m_mutex;
    std::vector<Rule> m_rules;
    std::map<std::pair<size_t, std::string>, int> m_used;  // per rule (and job): times applied
    unsigned m_messages = 0;
    std::map<int, unsigned> m_perType;
};
