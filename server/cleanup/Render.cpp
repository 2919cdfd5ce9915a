#include "Render.h"

#include <algorithm>
#include <utility>

#include "Sentences.h"
#include "Spacing.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Capitalised anywhere: "I", weekdays and the months that are no other word.
const Set& alwaysCapital() {
    static const Set s = {"i",         "i'm",       "i'd",      "i'll",    "i've",     "monday",
                          "tuesday",   "wednesday", "thursday", "friday",  "saturday", "sunday",
                          "january",   "february",  "april",    "june",    "july",     "august",
                          "september", "october",   "november", "december"};
    return s;
}

// Nothing may open a line with a comma or a full stop; ",," → ","; ", ." → ".";
// ". ," → "."; ". ." → "." (but "!!" and "??" stay).
void tidyMarks(std::vector<Item>& items, std::vector<Item>& tidy) {
    size_t lead = 0;
    while (lead < items.size() && items[lead].t.kind == Kind::punct &&
           (isCommaLike(items[lead].t) || endsSentence(items[lead].t) ||
            isSemicolon(items[lead].t) || isColon(items[lead].t)))
        ++lead;
    items.erase(items.begin(), items.begin() + static_cast<long>(lead));
    tidy.clear();
    tidy.reserve(items.size());
    for (auto& it : items) {
        if (!tidy.empty()) {
            const Token& prev = tidy.back().t;
            if (isCommaLike(prev) && isCommaLike(it.t)) continue;
            if (isCommaLike(prev) && isTerminal(it.t)) {
                tidy.back() = it;
                continue;
            }
            if (endsSentence(prev) && isCommaLike(it.t)) continue;
            if (endsSentence(prev) && endsSentence(it.t) && prev.text == it.t.text &&
                prev.text[0] != '!' && prev.text[0] != '?' && prev.text[0] != U'！' &&
                prev.text[0] != U'？')
                continue;
        }
        tidy.push_back(std::move(it));
    }
    items.swap(tidy);
}

// Sentences: [begin, end) ranges ending after a full stop, ! or ? and any closing marks.
std::vector<std::pair<size_t, size_t>> sentencesOf(const std::vector<Item>& items) {
    std::vector<std::pair<size_t, size_t>> sentences;
    size_t from = 0;
    for (size_t k = 0; k < items.size(); ++k) {
        if (endsSentence(items[k].t)) {
            size_t e = k + 1;
            while (e < items.size() && isClosePunct(items[e].t)) ++e;
            sentences.emplace_back(from, e);
            from = e;
            k = e - 1;
        }
    }
    if (from < items.size()) sentences.emplace_back(from, items.size());
    return sentences;
}

void convertWidth(std::vector<Item>& items, size_t b, size_t e, bool chinese) {
    for (size_t k = b; k < e; ++k) {
        Token& t = items[k].t;
        if (t.kind != Kind::punct) continue;
        if (chinese) {
            if (isEllipsis(t) && t.text[0] == '.')
                t.text = U"……";
            else if (t.text.size() == 1)
                t.text[0] = toFullWidth(t.text[0]);
        } else {
            if (t.text == U"……")
                t.text = U"...";
            else if (t.text.size() == 1)
                t.text[0] = toHalfWidth(t.text[0]);
        }
    }
}

// The first word of the sentence, past opening marks and quotes.
void capitaliseFirst(std::vector<Item>& items, size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
        Token& t = items[k].t;
        if (isOpenPunct(t) || isQuote(t)) continue;
        if (t.key == "ok" && isLowerWord(t))
            t.text = U"OK";
        else if (isLowerWord(t))
            t.text = capitalised(t.text);
        break;
    }
}

// Already closed: a mark, an emoji, a colon, "etc.", a lone link or number, `code`.
bool lineIsClosed(const std::vector<Item>& items) {
    const Token& last = items.back().t;
    if (isTerminal(last) || last.kind == Kind::symbol || isColon(last) ||
        (last.kind == Kind::word && last.text.back() == U'.'))
        return true;
    if (isClosePunct(last) && items.size() >= 2 && isTerminal(items[items.size() - 2].t))
        return true;
    if (items.size() == 1 && (last.kind == Kind::keep || last.number)) return true;
    return last.kind == Kind::keep && !isClip(last) && last.text.back() == U'`';
}

void closeLine(std::vector<Item>& items, std::pair<size_t, size_t> lastSentence, bool chinese) {
    if (lineIsClosed(items)) return;
    const Token& last = items.back().t;
    if (isCommaLike(last) || isSemicolon(last)) items.pop_back();
    if (items.empty()) return;
    const auto [b, e] = lastSentence;
    const size_t end = std::min(e, items.size());
    const bool question =
        chinese ? isQuestionChinese(items, b, end) : isQuestionEnglish(items, b, end);
    const char32_t mark = chinese ? (question ? U'？' : U'。') : (question ? U'?' : U'.');
    items.push_back(Item{makePunct(mark), false});
}

void stripEnd(std::vector<Item>& items) {
    while (!items.empty()) {
        const Token& last = items.back().t;
        if (isCommaLike(last) || isSemicolon(last) || last.text == U"." || last.text == U"。" ||
            isColon(last))
            items.pop_back();
        else
            break;
    }
}

// A list line: "- item", "• item", "3. item", "3) item". Returns the marker's token count.
size_t listMarker(const Toks& line) {
    const std::vector<size_t> sig = sigIndex(line);
    if (sig.size() < 2) return 0;
    const Token& a = line[sig[0]];
    if (a.kind == Kind::punct && (a.text == U"-" || a.text == U"•" || a.text == U"*") &&
        sig[1] > sig[0] + 1)
        return sig[0] + 1;
    if (a.kind == Kind::symbol && (a.text == U"*" || a.text == U"•") && sig[1] > sig[0] + 1)
        return sig[0] + 1;
    if (a.number && a.text.size() <= 3 && std::all_of(a.text.begin(), a.text.end(), isDigit) &&
        sig.size() >= 3 && (line[sig[1]].text == U"." || line[sig[1]].text == U")") &&
        sig[1] == sig[0] + 1 && sig[2] > sig[1] + 1)
        return sig[1] + 1;
    return 0;
}

std::vector<Toks> splitLines(const Toks& v) {
    std::vector<Toks> lines(1);
    lines.back().reserve(v.size());
    for (const auto& t : v) {
        if (t.kind == Kind::newline)
            lines.emplace_back();
        else
            lines.back().push_back(t);
    }
    return lines;
}

}  // namespace

std::u32string renderLine(const Toks& line, const Render& opt) {
    // Reused between calls (never nested): long texts then cost no fresh pages each time.
    thread_local std::vector<Item> items, tidy;
    items.clear();
    items.reserve(line.size());
    bool pending = false;
    for (const auto& t : line) {
        if (t.kind == Kind::space || t.kind == Kind::newline) {
            pending = !items.empty();
            continue;
        }
        items.push_back(Item{t, pending});
        pending = false;
    }
    if (items.empty()) return {};

    if (opt.fixSpacing) {
        tidyMarks(items, tidy);
        if (items.empty()) return {};
    }

    const std::vector<std::pair<size_t, size_t>> sentences = sentencesOf(items);
    std::vector<char> chinese(sentences.size(), 0);
    for (size_t s = 0; s < sentences.size(); ++s) {
        const auto [b, e] = sentences[s];
        chinese[s] = sentenceIsChinese(items, b, e);
        if (opt.convertWidth) convertWidth(items, b, e, chinese[s]);
    }

    if (opt.capitalise) {
        for (size_t s = 0; s < sentences.size(); ++s)
            if (!chinese[s]) capitaliseFirst(items, sentences[s].first, sentences[s].second);
        for (auto& it : items)
            if (isLowerWord(it.t) && in(alwaysCapital(), it.t.key))
                it.t.text = capitalised(it.t.text);
    }

    if (opt.end == End::add)
        closeLine(items, sentences.back(), !chinese.empty() && chinese.back());
    else if (opt.end == End::strip)
        stripEnd(items);

    std::u32string out;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k > 0) {
            const bool space = opt.fixSpacing
                                   ? needsSpace(items[k - 1].t, items[k].t, items[k].spaceBefore)
                                   : items[k].spaceBefore;
            if (space) out.push_back(U' ');
        }
        out += items[k].t.text;
    }
    return out;
}

std::u32string renderText(const Toks& v, const Render& opt) {
    std::u32string out;
    int blank = 0;
    bool any = false;
    for (const Toks& line : splitLines(v)) {
        std::u32string rendered;
        if (const size_t marker = listMarker(line)) {
            Render itemOpt = opt;
            if (itemOpt.end == End::add) itemOpt.end = End::none;
            const Toks rest(line.begin() + static_cast<long>(marker), line.end());
            std::u32string head;
            for (size_t k = 0; k < marker; ++k)
                if (line[k].kind != Kind::space) head += line[k].text;
            const std::u32string body = renderLine(rest, itemOpt);
            rendered = body.empty() ? std::u32string() : head + U" " + body;
        } else {
            rendered = renderLine(line, opt);
        }
        if (rendered.empty()) {
            ++blank;
            continue;
        }
        if (any) out += blank > 0 ? U"\n\n" : U"\n";
        out += rendered;
        any = true;
        blank = 0;
    }
    return out;
}

}  // namespace vserver::cleanup
