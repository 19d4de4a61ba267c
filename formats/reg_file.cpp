#include "formats/reg_file.h"

#include "formats/text.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace {

constexpr std::string_view kRoot = "HKEY_CURRENT_USER";
constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";
// The registry editor keeps its hex lines within 80 columns; so do we.
constexpr std::size_t kHexLineWidth = 77;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), LowerAscii);
    return folded;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && Folded(text.substr(0, start.size())) == Folded(start);
}

std::string_view TrimSpaces(std::string_view text) {
    return Trimmed(text, IsSpaceOrTab);
}

// A number of one to maxDigits hexadecimal digits and nothing else.
std::optional<std::uint32_t> HexNumber(std::string_view digits, std::size_t maxDigits) {
    if (digits.empty() || digits.size() > maxDigits)
        return std::nullopt;
    std::uint32_t number = 0;
    for (char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        number = (number << 4) | static_cast<std::uint32_t>(digit);
    }
    return number;
}

// Sorting by this puts every key right after the key above it: the names of a path, in lower
// case, joined by a character that no name may hold and that sorts before every other. The sort
// key of each key along the path is a beginning of it; ends, when given, receives where each
// one ends.
std::string SortKey(const std::vector<std::string>& names,
                    std::vector<std::size_t>* ends = nullptr) {
    std::string key;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            key += '\x01';
        key += Folded(names[i]);
        if (ends)
            ends->push_back(key.size());
    }
    return key;
}

// The names along a key path, or nothing with why set.
std::optional<std::vector<std::string>> SplitPath(std::string_view path, std::string& why) {
    if (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    std::vector<std::string> names;
    if (path.empty())
        return names;
    if (path.size() > kMaxKeyPathSize) {
        why = "a key path longer than " + std::to_string(kMaxKeyPathSize) + " bytes";
        return std::nullopt;
    }
    while (true) {
        const std::size_t end = std::min(path.find('\\'), path.size());
        const std::string_view name = path.substr(0, end);
        const bool control = std::any_of(name.begin(), name.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
        if (name.empty() || control) {
            why = "a key path with an empty name or a control character";
            return std::nullopt;
        }
        if (name.size() > kMaxKeyNameSize) {
            why = "a key name longer than " + std::to_string(kMaxKeyNameSize) + " bytes";
            return std::nullopt;
        }
        if (names.size() == kMaxKeyDepth) {
            why = "a key more than " + std::to_string(kMaxKeyDepth) + " levels deep";
            return std::nullopt;
        }
        names.emplace_back(name);
        if (end == path.size())
            return names;
        path.remove_prefix(end + 1);
    }
}

// Appends text in double quotes, a backslash before every backslash and quote; the runs between
// them are copied whole.
void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' && text[i] != '"')
            continue;
        out.append(text.substr(start, i - start));
        out += '\\';
        start = i;
    }
    out.append(text.substr(start));
    out += '"';
}

// At least digits hexadecimal digits, more when the number needs them.
void AppendHex(std::string& out, std::uint32_t number, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char text[8];
    int length = 0;
    do {
        text[7 - length++] = kDigits[number & 0xF];
        number >>= 4;
    } while (number != 0 || length < digits);
    out.append(text + 8 - length, static_cast<std::size_t>(length));
}

std::string Hex(std::uint32_t number, int digits) {
    std::string text;
    AppendHex(text, number, digits);
    return text;
}

void AppendValue(std::string& line, const RegValue& value) {
    const std::size_t lineStart = line.size();
    if (value.name.empty())
        line += '@';
    else
        AppendQuoted(line, value.name);
    line += '=';
    if (const auto* text = std::get_if<std::string>(&value.data)) {
        AppendQuoted(line, *text);
        return;
    }
    if (const auto* number = std::get_if<std::uint32_t>(&value.data)) {
        line += "dword:";
        AppendHex(line, *number, 8);
        return;
    }
    const auto& raw = std::get<RegRawData>(value.data);
    line += raw.type == REG_BINARY ? std::string("hex:") : "hex(" + Hex(raw.type, 1) + "):";
    std::size_t column = line.size() - lineStart;
    for (std::size_t i = 0; i < raw.bytes.size(); ++i) {
        if (i > 0 && column + 3 > kHexLineWidth) {
            line += ",\\";
            line += kLineEnd;
            line += "  ";
            column = 2;
        } else if (i > 0) {
            line += ',';
            ++column;
        }
        AppendHex(line, raw.bytes[i], 2);
        column += 2;
    }
}

// The lines of a file, one at a time, without their line ends.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}

    std::size_t Number() const { return number_; }

    // False at the end of the text, or with error set when the line holds a character no
    // line of a registry file may hold. A line ends in CR LF, LF, or CR alone as editors on
    // old Macs left it.
    bool Next(std::string_view& line, std::string& error) {
        if (position_ >= text_.size())
            return false;
        // Not find_first_of: it searches the set once for every character of the text.
        std::size_t end = position_;
        while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n')
            ++end;
        line = text_.substr(position_, end - position_);
        position_ = text_.substr(end).starts_with(kLineEnd) ? end + 2 : end + 1;
        ++number_;
        if (line.find('\0') != std::string_view::npos)
            error = "a zero byte";
        return error.empty();
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
    std::size_t number_ = 0;
};

class Parser {
public:
    explicit Parser(std::string_view text) : lines_(text) {}

    RegParseResult Parse() {
        std::string_view line;
        if (!lines_.Next(line, error_) || TrimSpaces(line) != kHeader)
            return Failure(error_.empty() ? "the first line is not REGEDIT4" : error_);
        while (lines_.Next(line, error_)) {
            line = TrimSpaces(line);
            if (line.empty() || line.front() == ';')
                continue;
            const bool read = line.front() == '[' ? ReadKeyLine(line) : ReadValueLine(line);
            if (!read)
                return Failure(error_);
        }
        if (!error_.empty())
            return Failure(error_);
        return RegParseResult{std::move(hive_), 0, {}};
    }

private:
    RegParseResult Failure(std::string error) const {
        return RegParseResult{std::nullopt, std::max<std::size_t>(lines_.Number(), 1),
                              std::move(error)};
    }

    bool Fail(std::string error) {
        error_ = std::move(error);
        return false;
    }

    bool ReadKeyLine(std::string_view line) {
        if (line.back() != ']')
            return Fail("a key line that does not end in ]");
        line = line.substr(1, line.size() - 2);
        const bool deletion = !line.empty() && line.front() == '-';
        if (deletion)
            line.remove_prefix(1);
        if (!StartsWithIgnoringCase(line, kRoot) ||
            (line.size() > kRoot.size() && line[kRoot.size()] != '\\'))
            return Fail("a key outside HKEY_CURRENT_USER");
        const std::string_view path = line.substr(kRoot.size());
        std::string why;
        if (!SplitPath(path, why))
            return Fail(why);
        if (deletion) {
            hive_.DeleteKey(path);
            key_ = nullptr;
        } else {
            key_ = hive_.CreateKey(path);
        }
        return true;
    }

    bool ReadValueLine(std::string_view line) {
        if (line.front() != '@' && line.front() != '"')
            return Fail("a line that is no key, no value and no comment");
        if (!key_)
            return Fail("a value outside a key");
        RegValue value;
        if (line.front() == '@')
            line.remove_prefix(1);
        else if (!ReadQuoted(line, value.name))
            return false;
        if (value.name.size() > kMaxValueNameSize)
            return Fail("a value name longer than " + std::to_string(kMaxValueNameSize) + " bytes");
        line = TrimSpaces(line);
        if (line.empty() || line.front() != '=')
            return Fail("a value name without =");
        line = TrimSpaces(line.substr(1));
        if (line == "-") {
            key_->RemoveValue(value.name);
            return true;
        }
        if (!ReadData(line, value.data))
            return false;
        key_->SetValue(std::move(value));
        return true;
    }

    bool ReadData(std::string_view line, RegData& data) {
        if (!line.empty() && line.front() == '"') {
            std::string text;
            if (!ReadQuoted(line, text))
                return false;
            if (!line.empty())
                return Fail("text after the closing quote");
            data = std::move(text);
            return true;
        }
        if (StartsWithIgnoringCase(line, "dword:")) {
            const auto number = HexNumber(line.substr(6), 8);
            if (!number)
                return Fail("a dword that is not one to eight hexadecimal digits");
            data = *number;
            return true;
        }
        if (StartsWithIgnoringCase(line, "hex:") || StartsWithIgnoringCase(line, "hex(")) {
            RegRawData raw;
            line.remove_prefix(3);
            if (line.front() == '(') {
                const std::size_t close = line.find(')');
                const auto type = close == std::string_view::npos
                                      ? std::nullopt
                                      : HexNumber(line.substr(1, close - 1), 8);
                if (!type)
                    return Fail("a hex type that is not one to eight hexadecimal digits");
                raw.type = *type;
                line.remove_prefix(close + 1);
            }
            if (line.empty() || line.front() != ':')
                return Fail("hex data without :");
            line.remove_prefix(1);
            if (!ReadHexBytes(line, raw.bytes))
                return false;
            data = std::move(raw);
            return true;
        }
        return Fail("data that is no text, no dword and no hex");
    }

    // Comma-separated bytes of two hexadecimal digits. A backslash at the end of a line carries
    // the list on to the next line.
    bool ReadHexBytes(std::string_view line, std::vector<std::uint8_t>& bytes) {
        std::string list(line);
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            std::string_view next;
            if (!lines_.Next(next, error_))
                return Fail(error_.empty() ? "hex data carried on past the end" : error_);
            list += TrimSpaces(next);
        }
        if (TrimSpaces(list).empty())
            return true;
        std::string_view rest = list;
        while (true) {
            const std::size_t comma = std::min(rest.find(','), rest.size());
            const auto byte = HexNumber(TrimSpaces(rest.substr(0, comma)), 2);
            if (!byte)
                return Fail("a hex byte that is not one or two hexadecimal digits");
            bytes.push_back(static_cast<std::uint8_t>(*byte));
            if (comma == rest.size())
                return true;
            rest.remove_prefix(comma + 1);
        }
    }

    // A text in double quotes in which \\ stands for \ and \" for ". On success the line is left
    // with what follows the closing quote.
    bool ReadQuoted(std::string_view& line, std::string& text) {
        // The runs between escapes are taken whole: a history of a million names is read
        // byte by byte only once, by the search.
        std::size_t start = 1;
        for (std::size_t i = 1; i < line.size(); ++i) {
            const char c = line[i];
            if (c != '"' && c != '\\')
                continue;
            text.append(line.substr(start, i - start));
            if (c == '"') {
                line.remove_prefix(i + 1);
                return true;
            }
            if (i + 1 == line.size() || (line[i + 1] != '\\' && line[i + 1] != '"'))
                return Fail("a backslash that is not followed by \\ or \"");
            ++i;
            start = i;
        }
        return Fail("a text without its closing quote");
    }

    LineReader lines_;
    RegHive hive_;
    RegKey* key_ = nullptr; // the key the value lines go to
    std::string error_;
};

} // namespace

bool IsStorableText(std::string_view text) {
    // Not find_first_of: it searches the set once for every character of the text.
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return c == '\0' || c == '\r' || c == '\n'; });
}

std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path) {
    std::string why;
    return SplitPath(path, why);
}

namespace {

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kRemoved = 0xFFFFFFFE;

// FNV-1a over the lower-case bytes: names that differ in the case of ASCII letters only hash
// alike, as they are the same name.
std::uint64_t NameHash(std::string_view name) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return hash;
}

bool SameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

} // namespace

std::size_t RegKey::SlotOf(std::string_view name, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t firstRemoved = slots_.size();
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const Slot& at = slots_[slot];
        if (at.place == kFree)
            return firstRemoved < slots_.size() ? firstRemoved : slot;
        if (at.place == kRemoved) {
            firstRemoved = std::min(firstRemoved, slot);
            continue;
        }
        if (at.hash == hash && SameName(values_[at.place]->name, name))
            return slot;
    }
}

// Keeps at most half of the slots in use, so that a search ends soon at a free one; the
// removed ones are dropped on the way.
void RegKey::GrowIndex() {
    std::size_t size = 16;
    while (size < 4 * (count_ + 1))
        size *= 2;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size, Slot{0, kFree}));
    for (const Slot& slot : old) {
        if (slot.place == kFree || slot.place == kRemoved)
            continue;
        std::size_t at = slot.hash & (size - 1);
        while (slots_[at].place != kFree)
            at = (at + 1) & (size - 1);
        slots_[at] = slot;
    }
    slotsInUse_ = count_;
}

const RegValue* RegKey::FindValue(std::string_view name) const {
    if (slots_.empty())
        return nullptr;
    const Slot& slot = slots_[SlotOf(name, NameHash(name))];
    return slot.place < kRemoved ? &*values_[slot.place] : nullptr;
}

bool RegKey::SetValue(RegValue value) {
    const auto* text = std::get_if<std::string>(&value.data);
    if (!IsStorableText(value.name) || value.name.size() > kMaxValueNameSize ||
        (text && !IsStorableText(*text)) || values_.size() >= kRemoved)
        return false;
    if (2 * (slotsInUse_ + 1) > slots_.size())
        GrowIndex();
    const std::uint64_t hash = NameHash(value.name);
    Slot& slot = slots_[SlotOf(value.name, hash)];
    if (slot.place < kRemoved) {
        values_[slot.place]->data = std::move(value.data);
        return true;
    }
    if (slot.place == kFree)
        ++slotsInUse_;
    slot = {hash, static_cast<std::uint32_t>(values_.size())};
    values_.emplace_back(std::move(value));
    ++count_;
    return true;
}

bool RegKey::RemoveValue(std::string_view name) {
    if (slots_.empty())
        return false;
    Slot& slot = slots_[SlotOf(name, NameHash(name))];
    if (slot.place >= kRemoved)
        return false;
    values_[slot.place].reset();
    slot.place = kRemoved;
    --count_;
    return true;
}

std::vector<const RegValue*> RegKey::Values() const {
    std::vector<const RegValue*> values;
    values.reserve(count_);
    for (const std::optional<RegValue>& value : values_)
        if (value)
            values.push_back(&*value);
    return values;
}

bool RegKey::operator==(const RegKey& other) const {
    if (path_ != other.path_ || count_ != other.count_)
        return false;
    const std::vector<const RegValue*> mine = Values();
    const std::vector<const RegValue*> theirs = other.Values();
    return std::equal(mine.begin(), mine.end(), theirs.begin(),
                      [](const RegValue* a, const RegValue* b) { return *a == *b; });
}

RegKey* RegHive::FindKey(std::string_view path) {
    return const_cast<RegKey*>(std::as_const(*this).FindKey(path));
}

const RegKey* RegHive::FindKey(std::string_view path) const {
    const auto names = SplitKeyPath(path);
    if (!names)
        return nullptr;
    const auto key = keys_.find(SortKey(*names));
    return key == keys_.end() ? nullptr : &key->second;
}

RegKey* RegHive::CreateKey(std::string_view path) {
    const auto names = SplitKeyPath(path);
    if (!names)
        return nullptr;
    // The root is a key of the hive only when asked for by its own path: its key line would
    // stand at the top of every file otherwise.
    if (names->empty())
        return &keys_.try_emplace(std::string(), std::string()).first->second;
    std::vector<std::size_t> ends;
    const std::string sortKey = SortKey(*names, &ends);
    // Looking from the bottom up finds the deepest key there in one or two steps when the keys
    // above come first, as in every file written here; from the top down, each key line of a
    // deep file would cost as many look-ups as it has levels.
    std::size_t level = names->size();
    RegKey* key = nullptr;
    for (; level > 0 && !key; --level) {
        const auto found = keys_.find(std::string_view(sortKey).substr(0, ends[level - 1]));
        if (found != keys_.end())
            key = &found->second;
    }
    if (key)
        ++level;
    for (; level < names->size(); ++level) {
        // A key made under an existing one follows the spelling of the existing one.
        std::string spelled = key ? key->Path() + '\\' + (*names)[level] : (*names)[level];
        key = &keys_.try_emplace(sortKey.substr(0, ends[level]), std::move(spelled)).first->second;
    }
    return key;
}

bool RegHive::DeleteKey(std::string_view path) {
    const auto names = SplitKeyPath(path);
    if (!names)
        return false;
    if (names->empty()) {
        const bool any = !keys_.empty();
        keys_.clear();
        return any;
    }
    const std::string top = SortKey(*names);
    const auto first = keys_.find(top);
    if (first == keys_.end())
        return false;
    const std::string below = top + '\x01';
    auto last = std::next(first);
    while (last != keys_.end() && last->first.starts_with(below))
        ++last;
    keys_.erase(first, last);
    return true;
}

std::vector<const RegKey*> RegHive::Keys() const {
    std::vector<const RegKey*> keys;
    keys.reserve(keys_.size());
    for (const auto& [sortKey, key] : keys_)
        keys.push_back(&key);
    return keys;
}

bool RegHive::operator==(const RegHive& other) const {
    return keys_ == other.keys_;
}

RegParseResult ParseRegFile(std::string_view text) {
    if (text.starts_with(kByteOrderMark))
        text.remove_prefix(kByteOrderMark.size());
    return Parser(text).Parse();
}

std::string FormatRegFile(const RegHive& hive) {
    return FormatRegFileWithin(hive, SIZE_MAX).text;
}

RegFileText FormatRegFileWithin(const RegHive& hive, std::size_t maxSize) {
    RegFileText file;
    file.text = kHeader;
    file.text += kLineEnd;
    bool full = false;
    // Each line is written in place and taken back when it does not fit; once one does not,
    // nothing after it does.
    const auto kept = [&](std::size_t before) {
        full = full || file.text.size() > maxSize;
        if (full)
            file.text.resize(before);
        return !full;
    };
    for (const RegKey* key : hive.Keys()) {
        std::size_t before = file.text.size();
        if (!full) {
            file.text += kLineEnd;
            file.text += '[';
            file.text += kRoot;
            if (!key->Path().empty()) {
                file.text += '\\';
                file.text += key->Path();
            }
            file.text += ']';
            file.text += kLineEnd;
        }
        if (!kept(before))
            ++file.keysLeftOut;
        for (const RegValue* value : key->Values()) {
            before = file.text.size();
            if (!full) {
                AppendValue(file.text, *value);
                file.text += kLineEnd;
            }
            if (!kept(before))
                ++file.valuesLeftOut;
        }
    }
    return file;
}
