#include "CorrectedWords.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <unordered_set>

#include "Tokens.h"

namespace vserver::corrections {

using namespace vserver::text;

namespace {

struct Unit {
    std::u32string text;
    std::u32string norm;  // lower case, letters and digits only
    bool cjk = false;
    size_t index = 0;  // position among the units of its text
};

std::vector<Unit> units(std::string_view s) {
    std::vector<Unit> out;
    for (const Token& t : tokenize(decode(s))) {
        if (t.kind != Kind::word && t.kind != Kind::keep && t.kind != Kind::cjk) continue;
        Unit u;
        u.text = t.text;
        u.cjk = t.kind == Kind::cjk;
        for (char32_t c : t.text)
            if (isLetter(c) || isDigit(c) || isCjk(c)) u.norm.push_back(lower(c));
        if (u.norm.empty()) continue;
        u.index = out.size();
        out.push_back(std::move(u));
    }
    return out;
}

const std::unordered_set<std::string>& commonEnglish() {
    static const std::unordered_set<std::string> s = {
        "the",        "be",       "to",       "of",         "and",        "a",         "in",
        "that",       "have",     "i",        "it",         "for",        "not",       "on",
        "with",       "he",       "as",       "you",        "do",         "at",        "this",
        "but",        "his",      "by",       "from",       "they",       "we",        "say",
        "her",        "she",      "or",       "an",         "will",       "my",        "one",
        "all",        "would",    "there",    "their",      "what",       "so",        "up",
        "out",        "if",       "about",    "who",        "get",        "which",     "go",
        "me",         "when",     "make",     "can",        "like",       "time",      "no",
        "just",       "him",      "know",     "take",       "people",     "into",      "year",
        "your",       "good",     "some",     "could",      "them",       "see",       "other",
        "than",       "then",     "now",      "look",       "only",       "come",      "its",
        "over",       "think",    "also",     "back",       "after",      "use",       "two",
        "how",        "our",      "work",     "first",      "well",       "way",       "even",
        "new",        "want",     "because",  "any",        "these",      "give",      "day",
        "most",       "us",       "is",       "are",        "was",        "were",      "been",
        "has",        "had",      "did",      "does",       "doing",      "said",      "made",
        "went",       "got",      "here",     "where",      "why",        "very",      "more",
        "much",       "many",     "too",      "should",     "may",        "might",     "must",
        "shall",      "yes",      "yeah",     "okay",       "ok",         "thanks",    "thank",
        "please",     "sorry",    "hello",    "hi",         "hey",        "today",     "tomorrow",
        "yesterday",  "week",     "month",    "morning",    "evening",    "night",     "meet",
        "meeting",    "call",     "send",     "sent",       "email",      "mail",      "message",
        "text",       "file",     "files",    "report",     "next",       "last",      "still",
        "again",      "never",    "always",   "really",     "right",      "left",      "sure",
        "need",       "needs",    "let",      "lets",       "let's",      "it's",      "i'm",
        "don't",      "can't",    "won't",    "didn't",     "isn't",      "that's",    "there's",
        "they're",    "we're",    "you're",   "i'll",       "i've",       "i'd",       "there'll",
        "to",         "too",      "two",      "for",        "four",       "fore",      "its",
        "hear",       "here",     "where",    "wear",       "were",       "weather",   "whether",
        "write",      "right",    "rite",     "new",        "knew",       "no",        "know",
        "now",        "our",      "hour",     "are",        "by",         "buy",       "bye",
        "see",        "sea",      "be",       "bee",        "would",      "wood",      "which",
        "witch",      "whole",    "hole",     "one",        "won",        "son",       "sun",
        "break",      "brake",    "accept",   "except",     "affect",     "effect",    "then",
        "than",       "lose",     "loose",    "quite",      "quiet",      "your",      "you're",
        "peace",      "piece",    "plain",    "plane",      "principal",  "principle", "through",
        "threw",      "thorough", "though",   "thought",    "three",      "five",      "six",
        "seven",      "eight",    "nine",     "ten",        "hundred",    "thousand",  "big",
        "small",      "great",    "little",   "long",       "short",      "high",      "low",
        "old",        "young",    "same",     "different",  "important",  "next",      "early",
        "late",       "able",     "bad",      "best",       "better",     "sure",      "free",
        "full",       "easy",     "hard",     "open",       "close",      "start",     "stop",
        "help",       "show",     "tell",     "ask",        "try",        "keep",      "put",
        "run",        "move",     "live",     "play",       "turn",       "feel",      "find",
        "leave",      "bring",    "begin",    "seem",       "talk",       "read",      "change",
        "follow",     "pay",      "learn",    "lead",       "understand", "watch",     "speak",
        "spend",      "grow",     "win",      "offer",      "remember",   "love",      "consider",
        "appear",     "buy",      "wait",     "serve",      "die",        "build",     "stay",
        "fall",       "cut",      "reach",    "kill",       "remain",     "suggest",   "raise",
        "pass",       "sell",     "require",  "decide",     "pull",       "thing",     "things",
        "man",        "woman",    "child",    "world",      "life",       "hand",      "part",
        "place",      "case",     "point",    "government", "company",    "number",    "group",
        "problem",    "fact",     "home",     "room",       "water",      "money",     "story",
        "lot",        "book",     "eye",      "job",        "word",       "words",     "business",
        "issue",      "side",     "kind",     "head",       "house",      "service",   "friend",
        "friends",    "power",    "end",      "team",       "minute",     "idea",      "name",
        "question",   "answer",   "car",      "city",       "line",       "price",     "order",
        "plan",       "project",  "code",     "bug",        "fix",        "test",      "update",
        "version",    "change",   "data",     "list",       "page",       "link",      "site",
        "app",        "phone",    "lunch",    "dinner",     "coffee",     "tea",       "office",
        "done",       "ready",    "fine",     "nice",       "cool",       "each",      "every",
        "both",       "few",      "own",      "such",       "while",      "before",    "under",
        "around",     "between",  "without",  "again",      "against",    "during",    "since",
        "until",      "though",   "although", "yet",        "either",     "neither",   "whose",
        "whom",       "am",       "being",    "having",     "those",      "myself",    "yourself",
        "himself",    "herself",  "itself",   "ourselves",  "something",  "anything",  "nothing",
        "everything", "someone",  "anyone",   "everyone",   "somewhere",  "monday",    "tuesday",
        "wednesday",  "thursday", "friday",   "saturday",   "sunday",     "gonna",     "wanna",
        "going",      "coming",   "getting",  "making",     "looking",    "working",   "trying",
        "thinking",   "saying"};
    return s;
}

// Every word of the recogniser's pronouncing dictionary (names included), read once: a
// lower-case replacement found there is an ordinary word, not a term to learn. Without the
// file, only the short list above decides.
const std::unordered_set<std::string>& dictionaryWords() {
    static const std::unordered_set<std::string> s = [] {
        std::unordered_set<std::string> out;
        std::ifstream in(kWordList);
        std::string line;
        while (std::getline(in, line)) {
            std::string word = line.substr(0, line.find_first_of(" \t("));
            std::string key;
            for (char c : word)
                if (std::isalnum(static_cast<unsigned char>(c)))
                    key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
            if (!key.empty()) out.insert(std::move(key));
        }
        return out;
    }();
    return s;
}

const std::unordered_set<std::u32string>& commonChinese() {
    static const std::unordered_set<std::u32string> s = {
        U"今天", U"明天", U"后天", U"昨天", U"前天",   U"现在",   U"时候",   U"我们", U"你们",
        U"他们", U"她们", U"这个", U"那个", U"什么",   U"怎么",   U"为什么", U"因为", U"所以",
        U"但是", U"如果", U"可以", U"没有", U"知道",   U"觉得",   U"应该",   U"需要", U"已经",
        U"还是", U"就是", U"然后", U"问题", U"时间",   U"工作",   U"东西",   U"事情", U"一下",
        U"一个", U"一些", U"这样", U"那样", U"非常",   U"比较",   U"可能",   U"其实", U"不过",
        U"而且", U"或者", U"上午", U"下午", U"晚上",   U"早上",   U"中午",   U"今年", U"明年",
        U"去年", U"开会", U"会议", U"看看", U"谢谢",   U"好的",   U"不是",   U"不要", U"不会",
        U"不能", U"能够", U"的话", U"起来", U"出来",   U"过来",   U"下来",   U"上来", U"回来",
        U"一起", U"一定", U"一样", U"大家", U"自己",   U"别人",   U"朋友",   U"公司", U"老师",
        U"学生", U"同学", U"同事", U"领导", U"客户",   U"项目",   U"文件",   U"邮件", U"消息",
        U"电话", U"地方", U"方面", U"方法", U"意思",   U"感觉",   U"希望",   U"喜欢", U"开始",
        U"结束", U"完成", U"准备", U"发送", U"回复",   U"确认",   U"安排",   U"时间", U"周末",
        U"下周", U"上周", U"这周", U"本周", U"下个月", U"上个月", U"星期",   U"礼拜", U"几点",
        U"多少", U"这里", U"那里", U"哪里"};
    return s;
}

const std::u32string kFunctionChars =
    U"的了是在和有我你他她它们这那就也都不很到说要会去来上下个一吗呢吧啊把被让对向从为给跟与";

size_t editDistance(const std::u32string& a, const std::u32string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

bool hasUpperAfterFirst(const std::u32string& w) {
    for (size_t k = 1; k < w.size(); ++k)
        if (isLetter(w[k]) && lower(w[k]) != w[k]) return true;
    return false;
}

// A Latin word that reads as a name or a term rather than an ordinary word.
bool nameOrTerm(const Unit& w, const std::vector<const Unit*>& olds) {
    const std::string key = encode(w.norm);
    bool letters = false, digits = false;
    for (char32_t c : w.text) {
        letters = letters || isLetter(c);
        digits = digits || isDigit(c);
    }
    if (!letters) return false;                   // numbers are not learned
    if (letters && digits) return true;           // GPT4, H100
    if (hasUpperAfterFirst(w.text)) return true;  // GitHub, iOS, NASA
    if (commonEnglish().count(key)) return false;
    if (lower(w.text[0]) != w.text[0]) return true;  // a capitalised uncommon word: a name
    if (dictionaryWords().count(key)) return false;  // "car" -> "vehicle"
    // Lower case and close to what was there: a spelling fix.
    std::u32string joined;
    for (const Unit* o : olds) joined += o->norm;
    for (const Unit* o : olds)
        if (w.norm.size() >= 3 && editDistance(o->norm, w.norm) <= 2) return false;
    if (w.norm.size() >= 3 && editDistance(joined, w.norm) <= 2) return false;
    return w.norm.size() >= 3;
}

// The most common Chinese surnames.
bool surname(char32_t c) {
    static const std::u32string s =
        U"王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾肖田董袁潘蒋蔡杜叶程苏魏"
        U"吕丁沈姚卢姜崔钟谭陆汪范金石廖贾夏韦傅方邹孟熊秦邱江尹薛闫段雷侯龙史陶黎贺顾毛郝龚邵钱严"
        U"覃武戴莫孔汤";
    return s.find(c) != std::u32string::npos;
}

bool stopChar(char32_t c) {
    return kFunctionChars.find(c) != std::u32string::npos;
}

}  // namespace

std::vector<std::string> correctedWords(std::string_view beforeText, std::string_view afterText) {
    const std::vector<Unit> a = units(beforeText);
    const std::vector<Unit> b = units(afterText);
    if (a.size() > kMaxChars || b.size() > kMaxChars) return {};

    // Common ends first: a correction is usually a small island.
    size_t pre = 0;
    while (pre < a.size() && pre < b.size() && a[pre].norm == b[pre].norm) ++pre;
    size_t suf = 0;
    while (suf < a.size() - pre && suf < b.size() - pre &&
           a[a.size() - 1 - suf].norm == b[b.size() - 1 - suf].norm)
        ++suf;
    const size_t n = a.size() - pre - suf, m = b.size() - pre - suf;
    if (n == 0 || m == 0) return {};
    if (n * m > 4'000'000) return {};  // a rewrite, not a correction

    // Longest common subsequence over the middle.
    std::vector<uint32_t> dp((n + 1) * (m + 1), 0);
    auto at = [&](size_t i, size_t j) -> uint32_t& { return dp[i * (m + 1) + j]; };
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            at(i, j) = a[pre + i].norm == b[pre + j].norm ? at(i + 1, j + 1) + 1
                                                          : std::max(at(i + 1, j), at(i, j + 1));

    struct Region {
        std::vector<const Unit*> olds, news;
    };
    // Mostly different texts: the user rewrote the passage; nothing to learn from it.
    const size_t common = pre + suf + at(0, 0);
    if (std::max(a.size(), b.size()) >= 6 && common * 2 < std::max(a.size(), b.size())) return {};

    std::vector<Region> regions;
    Region cur;
    auto flush = [&] {
        if (!cur.olds.empty() || !cur.news.empty()) regions.push_back(cur);
        cur = Region{};
    };
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[pre + i].norm == b[pre + j].norm) {
            flush();
            ++i, ++j;
        } else if (j < m && (i == n || at(i, j + 1) >= at(i + 1, j))) {
            cur.news.push_back(&b[pre + j]);
            ++j;
        } else {
            cur.olds.push_back(&a[pre + i]);
            ++i;
        }
    }
    flush();

    std::vector<std::string> out;
    for (const Region& r : regions) {
        if (r.olds.empty() || r.news.empty()) continue;  // added or removed, not corrected
        std::u32string oldNorm, newNorm;
        for (const Unit* u : r.olds) oldNorm += u->norm;
        for (const Unit* u : r.news) newNorm += u->norm;
        if (oldNorm == newNorm) continue;  // spacing, case or punctuation only
        const bool anyCjk =
            std::any_of(r.news.begin(), r.news.end(), [](const Unit* u) { return u->cjk; });
        const size_t latinOld =
            std::count_if(r.olds.begin(), r.olds.end(), [](const Unit* u) { return !u->cjk; });
        const size_t latinNew =
            std::count_if(r.news.begin(), r.news.end(), [](const Unit* u) { return !u->cjk; });
        if (latinOld > 4 || latinNew > 4 || r.olds.size() > 8 || r.news.size() > 6)
            continue;  // a rewrite

        std::u32string word;
        if (!anyCjk) {
            // Keep the name-like words of the replacement, as one phrase when adjacent.
            std::vector<const Unit*> kept;
            // A lower-case word is a term only when it replaced a short stretch ("cube control" →
            // "kubectl").
            const bool small = r.news.size() <= 2 && r.olds.size() <= 3;
            for (const Unit* u : r.news)
                if (nameOrTerm(*u, r.olds) &&
                    (small || lower(u->text[0]) != u->text[0] || hasUpperAfterFirst(u->text)))
                    kept.push_back(u);
            if (kept.empty()) continue;
            for (size_t k = 0; k < kept.size(); ++k) {
                if (k && kept[k]->index != kept[k - 1]->index + 1) {
                    out.push_back(encode(word));
                    word.clear();
                }
                if (!word.empty()) word.push_back(U' ');
                word += kept[k]->text;
            }
        } else {
            std::vector<const Unit*> run = r.news;
            // One changed character: widen to its word by the characters beside it; a
            // surname just before it makes it a given name.
            if (run.size() == 1 && run[0]->cjk) {
                const size_t k = run[0]->index;
                if (k > 0 && b[k - 1].cjk && surname(b[k - 1].text[0]))
                    run.insert(run.begin(), &b[k - 1]);
                else if (k + 1 < b.size() && b[k + 1].cjk && !stopChar(b[k + 1].text[0]))
                    run.push_back(&b[k + 1]);
                else if (k > 0 && b[k - 1].cjk && !stopChar(b[k - 1].text[0]))
                    run.insert(run.begin(), &b[k - 1]);
                else
                    continue;
            } else if (run.size() == 2 && run[0]->cjk && run[1]->cjk &&
                       run[1]->index == run[0]->index + 1) {
                // A given name retyped after an unchanged surname: the whole name.
                const size_t k = run[0]->index;
                if (k > 0 && b[k - 1].cjk && surname(b[k - 1].text[0]))
                    run.insert(run.begin(), &b[k - 1]);
            }
            for (size_t k = 0; k < run.size(); ++k) {
                if (k && !run[k]->cjk && !run[k - 1]->cjk) word.push_back(U' ');
                word += run[k]->text;
            }
            std::u32string han;
            for (const Unit* u : run)
                if (u->cjk) han += u->text;
            if (commonChinese().count(han) && han.size() == word.size()) continue;
            if (std::all_of(han.begin(), han.end(), stopChar)) continue;
        }
        if (word.empty() || word.size() > 40) continue;
        const std::string w = encode(word);
        if (std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
        if (out.size() >= 10) break;
    }
    // Words flushed mid-phrase above may be duplicates or too long; tidy once more.
    std::vector<std::string> unique;
    for (auto& w : out)
        if (!w.empty() && decode(w).size() <= 40 &&
            std::find(unique.begin(), unique.end(), w) == unique.end())
            unique.push_back(w);
    return unique;
}

}  // namespace vserver::corrections
