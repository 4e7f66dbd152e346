#include "quarantine/restore/CfgBall.h"

#include <cstring>
#include <cwctype>
#include <new>
#include <optional>
#include <vector>

#include "base/TextConvert.h"

namespace vondrel {

namespace {

constexpr uint32_t kInitialCapacity = 1000;
constexpr uint32_t kGrowthSlack = 1000;

// ---- Reading the text ----

// The separators of the text format; CR counts as one, so CR LF lines read like LF lines.
bool IsBagSpace(wchar_t c) {
    return c == L'\0' || c == L'\t' || c == L'\n' || c == L'\r' || c == L' ';
}

std::wstring_view TrimLeft(std::wstring_view s) {
    while (!s.empty() && IsBagSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::wstring_view TrimRight(std::wstring_view s) {
    while (!s.empty() && IsBagSpace(s.back())) s.remove_suffix(1);
    return s;
}

wchar_t Upper(wchar_t c) {
    ::CharUpperBuffW(&c, 1);
    return c;
}

bool NamesEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

std::wstring_view NameOf(const wchar_t* name) {
    return name ? std::wstring_view(name) : std::wstring_view();
}

enum class LineKind { Blank, Comment, Header, Key, Ignored };

// One line of the text; positions are indices into the whole text.
struct Line {
    size_t start = 0;  // its first character
    size_t next = 0;   // the character after its LF, or the end of the text
    LineKind kind = LineKind::Blank;
    bool named = false;       // a header that has its "]"
    std::wstring_view name;   // header or key name
    std::wstring_view value;  // a key's value, surrounding quotes removed
};

void ReadKeyLine(std::wstring_view body, Line& line) {
    line.kind = LineKind::Key;
    size_t equals = body.find(L'=');
    if (equals == std::wstring_view::npos) {
        line.name = body;
        return;
    }
    line.name = TrimRight(body.substr(0, equals));
    std::wstring_view value = TrimLeft(body.substr(equals + 1));
    if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') value = value.substr(1, value.size() - 2);
    line.value = value;
}

Line ReadLine(std::wstring_view text, size_t start) {
    Line line;
    line.start = start;
    size_t lf = text.find(L'\n', start);
    line.next = lf == std::wstring_view::npos ? text.size() : lf + 1;
    std::wstring_view body = TrimRight(TrimLeft(text.substr(start, line.next - start)));
    if (body.empty()) return line;
    if (body.front() == L'#' || body.front() == L';') {
        line.kind = LineKind::Comment;
    } else if (body.front() == L'[') {
        line.kind = LineKind::Header;
        size_t close = body.find(L']');
        line.named = close != std::wstring_view::npos;
        if (line.named) line.name = body.substr(1, close - 1);
    } else if (body.front() == L'=') {
        line.kind = LineKind::Ignored;
    } else {
        ReadKeyLine(body, line);
    }
    return line;
}

// Walks the text line by line, knowing whether the current line lies inside the wanted section.
// Lines before the first header belong to the section with the empty name.
class SectionWalk {
public:
    SectionWalk(std::wstring_view text, std::wstring_view section)
        : text_(text), section_(section), inside_(section.empty()) {}

    bool Next() {
        if (position_ >= text_.size()) return false;
        line_ = ReadLine(text_, position_);
        position_ = line_.next;
        if (line_.kind == LineKind::Header) inside_ = line_.named && NamesEqual(line_.name, section_);
        return true;
    }
    const Line& line() const { return line_; }
    bool inside() const { return inside_; }
    bool AtKey() const { return inside_ && line_.kind == LineKind::Key; }
    bool AtKey(std::wstring_view key) const { return AtKey() && NamesEqual(line_.name, key); }

private:
    std::wstring_view text_;
    std::wstring_view section_;
    size_t position_ = 0;
    Line line_;
    bool inside_;
};

// The first key line of the section with that key.
std::optional<Line> Lookup(std::wstring_view text, std::wstring_view section, std::wstring_view key) {
    SectionWalk walk(text, section);
    while (walk.Next()) {
        if (walk.AtKey(key)) return walk.line();
    }
    return std::nullopt;
}

// ---- Number rules ----

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

struct Word {
    bool letterAlone;  // the word's first letter on its own counts too
    const wchar_t* prefix;
    int64_t value;
};

constexpr Word kWords[] = {
    {true, L"false", 0}, {true, L"no", 0}, {false, L"on", 1}, {false, L"off", 0}, {true, L"true", 1}, {true, L"yes", 1},
};

std::optional<int64_t> ParseWord(std::wstring_view text) {
    for (const Word& word : kWords) {
        bool alone = word.letterAlone && text.size() == 1 && Upper(text.front()) == Upper(word.prefix[0]);
        if (alone || StartsWithNoCase(text, word.prefix)) return word.value;
    }
    return std::nullopt;
}

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexDigitValue(wchar_t c) {
    if (IsDecimalDigit(c)) return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool HasHexPrefix(std::wstring_view text) {
    return text.size() >= 3 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X') && HexDigitValue(text[2]) >= 0;
}

// "1Fh": a decimal digit first, then hexadecimal digits up to an "h".
bool HasHexSuffix(std::wstring_view text) {
    if (text.size() < 2 || !IsDecimalDigit(text.front())) return false;
    size_t i = 0;
    while (i < text.size() && HexDigitValue(text[i]) >= 0) ++i;
    return i < text.size() && (text[i] == L'h' || text[i] == L'H');
}

uint64_t AccumulateDigits(std::wstring_view text, int base) {
    uint64_t value = 0;
    for (wchar_t c : text) {
        int digit = base == 16 ? HexDigitValue(c) : (IsDecimalDigit(c) ? c - L'0' : -1);
        if (digit < 0) break;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

std::wstring_view TrimSystemSpace(std::wstring_view s) {
    while (!s.empty() && std::iswspace(s.front())) s.remove_prefix(1);
    while (!s.empty() && std::iswspace(s.back())) s.remove_suffix(1);
    return s;
}

int64_t ParseNumber(std::wstring_view text) {
    text = TrimSystemSpace(text.substr(0, text.find(L'\0')));
    if (text.empty()) return 0;
    if (std::optional<int64_t> word = ParseWord(text)) return *word;
    bool negative = text.front() == L'-';
    if (negative || text.front() == L'+') text.remove_prefix(1);
    int base = 10;
    if (HasHexPrefix(text)) {
        text.remove_prefix(2);
        base = 16;
    } else if (HasHexSuffix(text)) {
        base = 16;
    }
    uint64_t magnitude = AccumulateDigits(text, base);
    return static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
}

template <typename T>
void StoreAs(int64_t value, void* out) {
    T narrowed = static_cast<T>(value);
    std::memcpy(out, &narrowed, sizeof narrowed);
}

bool StoreBits(int bits, int64_t value, void* out) {
    switch (bits) {
    case 64:
    case -64: StoreAs<uint64_t>(value, out); return true;
    case 32:
    case -32: StoreAs<uint32_t>(value, out); return true;
    case 16:
    case -16: StoreAs<uint16_t>(value, out); return true;
    case 8:
    case -8: StoreAs<uint8_t>(value, out); return true;
    case 1: StoreAs<uint8_t>(value != 0 ? 1 : 0, out); return true;
    default: return false;
    }
}

// The decimal text of value's low bits: signed for negative widths, unsigned for positive ones.
std::optional<std::wstring> FormatBits(int bits, int64_t value) {
    switch (bits) {
    case 64: return std::to_wstring(static_cast<uint64_t>(value));
    case -64: return std::to_wstring(value);
    case 32: return std::to_wstring(static_cast<uint32_t>(value));
    case -32: return std::to_wstring(static_cast<int32_t>(value));
    case 16: return std::to_wstring(static_cast<uint16_t>(value));
    case -16: return std::to_wstring(static_cast<int16_t>(value));
    case 8: return std::to_wstring(static_cast<uint8_t>(value));
    case -8: return std::to_wstring(static_cast<int8_t>(value));
    case 1: return std::wstring(value != 0 ? L"1" : L"0");
    default: return std::nullopt;
    }
}

// ---- Writing lines ----

bool CanWriteSection(std::wstring_view section) {
    return section.find_first_of(L"]\n") == std::wstring_view::npos;
}

// A key must read back as itself: no separator inside, nothing that makes the line a comment or a
// header, no whitespace the reader would trim.
bool CanWriteKey(std::wstring_view key) {
    if (key.empty() || key.find_first_of(L"=\n") != std::wstring_view::npos) return false;
    if (key.front() == L'[' || key.front() == L'#' || key.front() == L';') return false;
    return !IsBagSpace(key.front()) && !IsBagSpace(key.back());
}

bool CanWriteValue(std::wstring_view value) { return value.find(L'\n') == std::wstring_view::npos; }

bool NeedsQuotes(std::wstring_view value) {
    if (value.empty()) return false;
    return IsBagSpace(value.front()) || IsBagSpace(value.back()) || value.front() == L'"' || value.back() == L'"';
}

constexpr const wchar_t* kLineEnd = L"\r\n";

std::wstring KeyLine(std::wstring_view key, std::wstring_view value) {
    std::wstring line(key);
    line += L'=';
    if (NeedsQuotes(value)) {
        line += L'"';
        line += value;
        line += L'"';
    } else {
        line += value;
    }
    line += kLineEnd;
    return line;
}

// Where a new key line of the section goes: after its last non-blank line. The section with the empty
// name always has a place (the start of the text); another section without a header has none.
std::optional<size_t> InsertionPoint(std::wstring_view text, std::wstring_view section) {
    std::optional<size_t> point;
    if (section.empty()) point = 0;
    SectionWalk walk(text, section);
    while (walk.Next()) {
        if (walk.inside() && walk.line().kind != LineKind::Blank) point = walk.line().next;
    }
    return point;
}

bool EndsLine(std::wstring_view text, size_t position) { return position == 0 || text[position - 1] == L'\n'; }

// The names a walk collects once each, in the order of their first appearance.
void AddName(std::vector<std::wstring>& names, std::wstring_view name) {
    for (const std::wstring& known : names) {
        if (NamesEqual(known, name)) return;
    }
    names.emplace_back(name);
}

std::vector<std::wstring> SectionNames(std::wstring_view text) {
    std::vector<std::wstring> names;
    SectionWalk walk(text, std::wstring_view());
    while (walk.Next()) {
        if (walk.AtKey()) AddName(names, std::wstring_view());
        if (walk.line().kind == LineKind::Header && walk.line().named) AddName(names, walk.line().name);
    }
    return names;
}

std::vector<std::wstring> KeyNames(std::wstring_view text, std::wstring_view section) {
    std::vector<std::wstring> names;
    SectionWalk walk(text, section);
    while (walk.Next()) {
        if (walk.AtKey()) AddName(names, walk.line().name);
    }
    return names;
}

// The text without the lines of the section (its headers included); nullopt when it has none.
std::optional<std::wstring> WithoutSection(std::wstring_view text, std::wstring_view section) {
    std::wstring kept;
    bool removed = false;
    SectionWalk walk(text, section);
    while (walk.Next()) {
        const Line& line = walk.line();
        if (!walk.inside()) {
            kept.append(text.substr(line.start, line.next - line.start));
            continue;
        }
        removed = removed || line.kind != LineKind::Blank;
    }
    if (!removed) return std::nullopt;
    return kept;
}

void CopyTerminated(std::wstring_view text, wchar_t* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return;
    size_t count = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), count * sizeof(wchar_t));
    buffer[count] = L'\0';
}

}  // namespace

// ---- Lock and iterator ----

// Holds the bag's critical section for one operation and names the thread inside it.
class CfgBallImp::Locked {
public:
    explicit Locked(CfgBallImp& bag) : bag_(bag) {
        ::EnterCriticalSection(&bag_.lock_);
        bag_.ownerThread_ = ::GetCurrentThreadId();
    }
    ~Locked() {
        bag_.ownerThread_ = 0;
        ::LeaveCriticalSection(&bag_.lock_);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CfgBallImp& bag_;
};

// Walks a copy of the names taken when the enumeration was asked for.
class CfgBallImp::Iterator final : public CfgBallIterator {
public:
    explicit Iterator(std::vector<std::wstring> names) : names_(std::move(names)) {}

    ULONG AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    ULONG Release() override {
        LONG before = ::InterlockedDecrement(&references_) + 1;
        if (before == 1) delete this;
        return static_cast<ULONG>(before);
    }
    void Reset() override { position_ = 0; }
    bool Next(wchar_t* buffer, uint32_t size) override {
        if (position_ >= names_.size()) return false;
        CopyTerminated(names_[position_++], buffer, size);
        return true;
    }

private:
    ~Iterator() override = default;

    volatile LONG references_ = 1;
    std::vector<std::wstring> names_;
    size_t position_ = 0;
};

// ---- Life cycle and buffer ----

CfgBallImp* CfgBallImp::Create() {
    auto* text = static_cast<wchar_t*>(std::malloc(kInitialCapacity * sizeof(wchar_t)));
    CfgBallImp* bag = text ? new (std::nothrow) CfgBallImp(text, kInitialCapacity) : nullptr;
    if (bag == nullptr) {
        std::free(text);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return bag;
}

CfgBallImp::CfgBallImp(wchar_t* text, uint32_t capacity) : text_(text), capacity_(capacity) {
    ::InitializeCriticalSection(&lock_);
}

CfgBallImp::~CfgBallImp() { ::DeleteCriticalSection(&lock_); }

ULONG CfgBallImp::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG CfgBallImp::Release() {
    LONG before = ::InterlockedDecrement(&references_) + 1;
    if (before == 1) delete this;
    return static_cast<ULONG>(before);
}

// Room for needed characters; grows to needed + 1000, keeping the old buffer when that fails.
bool CfgBallImp::Reserve(uint64_t needed) {
    if (needed <= capacity_) return true;
    if (needed > UINT32_MAX - kGrowthSlack) return false;
    uint32_t capacity = static_cast<uint32_t>(needed) + kGrowthSlack;
    void* grown = std::realloc(text_.get(), static_cast<size_t>(capacity) * sizeof(wchar_t));
    if (grown == nullptr) return false;
    (void)text_.release();
    text_.reset(static_cast<wchar_t*>(grown));
    capacity_ = capacity;
    return true;
}

// Puts text in place of the characters [begin, end).
bool CfgBallImp::Replace(uint32_t begin, uint32_t end, const std::wstring& text) {
    uint64_t newLength = uint64_t{length_} - (end - begin) + text.size();
    if (!Reserve(newLength)) return false;
    wchar_t* buffer = text_.get();
    std::memmove(buffer + begin + text.size(), buffer + end, (length_ - end) * sizeof(wchar_t));
    std::memcpy(buffer + begin, text.data(), text.size() * sizeof(wchar_t));
    length_ = static_cast<uint32_t>(newLength);
    return true;
}

// ---- Whole text ----

void CfgBallImp::Clear() {
    Locked locked(*this);
    length_ = 0;
}

uint32_t CfgBallImp::GetText(wchar_t* buffer, uint32_t length) {
    Locked locked(*this);
    if (buffer == nullptr || length == 0) return length_;
    uint32_t count = length < length_ ? length : length_;
    std::memcpy(buffer, text_.get(), count * sizeof(wchar_t));
    return count;
}

uint32_t CfgBallImp::GetTextUtf8(char* buffer, uint32_t bytes) {
    Locked locked(*this);
    if (length_ == 0 || length_ > INT32_MAX) return 0;
    int units = static_cast<int>(length_);
    if (buffer == nullptr || bytes == 0) {
        return static_cast<uint32_t>(::WideCharToMultiByte(CP_UTF8, 0, text_.get(), units, nullptr, 0, nullptr, nullptr));
    }
    int room = bytes > INT32_MAX ? INT32_MAX : static_cast<int>(bytes);
    return static_cast<uint32_t>(::WideCharToMultiByte(CP_UTF8, 0, text_.get(), units, buffer, room, nullptr, nullptr));
}

bool CfgBallImp::SetText(const wchar_t* text, uint32_t length) {
    if (text == nullptr && length != 0) return false;
    Locked locked(*this);
    if (!Reserve(length)) return false;
    if (length != 0) std::memcpy(text_.get(), text, length * sizeof(wchar_t));
    length_ = length;
    return true;
}

bool CfgBallImp::SetTextUtf8(const char* text, int32_t bytes) {
    if (text == nullptr) {
        if (bytes > 0) return false;
        text = "";
    }
    size_t count = bytes < 0 ? std::strlen(text) : static_cast<size_t>(bytes);
    std::wstring decoded;
    try {
        decoded = Utf8ToWideDroppingInvalid(text, count);
    } catch (const std::bad_alloc&) {
        return false;
    }

    Locked locked(*this);
    if (!Reserve(decoded.size())) return false;
    if (!decoded.empty()) std::memcpy(text_.get(), decoded.data(), decoded.size() * sizeof(wchar_t));
    length_ = static_cast<uint32_t>(decoded.size());
    return true;
}

// ---- Lookups ----

uint32_t CfgBallImp::GetValueLength(const wchar_t* section, const wchar_t* key) {
    Locked locked(*this);
    std::optional<Line> line = Lookup(Text(), NameOf(section), NameOf(key));
    return line ? static_cast<uint32_t>(line->value.size()) + 1 : 0;
}

bool CfgBallImp::GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, uint32_t size) {
    Locked locked(*this);
    std::optional<Line> line = Lookup(Text(), NameOf(section), NameOf(key));
    if (!line) return false;
    CopyTerminated(line->value, buffer, size);
    return true;
}

bool CfgBallImp::GetInt(const wchar_t* section, const wchar_t* key, int bits, void* out) {
    Locked locked(*this);
    std::optional<Line> line = Lookup(Text(), NameOf(section), NameOf(key));
    if (!line) return false;
    if (out == nullptr) return true;
    return StoreBits(bits, ParseNumber(line->value), out);
}

CfgBallIterator* CfgBallImp::EnumSections() {
    try {
        Locked locked(*this);
        return new Iterator(SectionNames(Text()));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CfgBallIterator* CfgBallImp::EnumKeys(const wchar_t* section) {
    try {
        Locked locked(*this);
        return new Iterator(KeyNames(Text(), NameOf(section)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// ---- Editing ----

bool CfgBallImp::SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    std::wstring_view sectionName = NameOf(section);
    std::wstring_view keyName = NameOf(key);
    std::wstring_view valueText = NameOf(value);
    if (!CanWriteSection(sectionName) || !CanWriteKey(keyName) || !CanWriteValue(valueText)) return false;
    try {
        std::wstring line = KeyLine(keyName, valueText);
        Locked locked(*this);
        std::wstring_view text = Text();
        if (std::optional<Line> found = Lookup(text, sectionName, keyName)) {
            return Replace(static_cast<uint32_t>(found->start), static_cast<uint32_t>(found->next), line);
        }
        std::optional<size_t> point = InsertionPoint(text, sectionName);
        if (!point) {
            point = text.size();
            line = L"[" + std::wstring(sectionName) + L"]" + kLineEnd + line;
        }
        if (!EndsLine(text, *point)) line = kLineEnd + line;
        return Replace(static_cast<uint32_t>(*point), static_cast<uint32_t>(*point), line);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CfgBallImp::SetInt(const wchar_t* section, const wchar_t* key, int bits, int64_t value) {
    try {
        std::optional<std::wstring> text = FormatBits(bits, value);
        return text && SetString(section, key, text->c_str());
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CfgBallImp::RemoveKey(const wchar_t* section, const wchar_t* key) {
    Locked locked(*this);
    std::optional<Line> line = Lookup(Text(), NameOf(section), NameOf(key));
    return line && Replace(static_cast<uint32_t>(line->start), static_cast<uint32_t>(line->next), std::wstring());
}

bool CfgBallImp::RemoveSection(const wchar_t* section) {
    try {
        Locked locked(*this);
        std::optional<std::wstring> kept = WithoutSection(Text(), NameOf(section));
        return kept && Replace(0, length_, *kept);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace vondrel
