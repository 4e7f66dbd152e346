// The property bag: a reference-counted, lock-protected bag of sectioned key/value text ("[Section]",
// "key = value", "#" and ";" comments) kept in one UTF-16 buffer and searched in place on every lookup.
// Legacy backup files describe their content streams in this form.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace vondrel {

// Walks section or key names of a bag, as they were when the walk was made.
class CfgBallIterator {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;  // the count before the decrement; frees the walker at 0
    virtual void Reset() = 0;     // back to the first name
    // Copies the current name (at most size - 1 characters, terminated) and advances; false at the end.
    virtual bool Next(wchar_t* buffer, uint32_t size) = 0;

protected:
    virtual ~CfgBallIterator() = default;
};

// Sections and keys are null-terminated UTF-16 names; a null name stands for the empty one. Names
// compare without regard to case.
class CfgBall {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;  // the count before the decrement; destroys the bag at 0
    virtual void Clear() = 0;     // empties the text, keeps the buffer
    // Copies at most length characters of the text (no terminator); the text length when buffer is
    // null or length is 0.
    virtual uint32_t GetText(wchar_t* buffer, uint32_t length) = 0;
    // The text as UTF-8 (no terminator); the bytes needed when buffer is null or bytes is 0, 0 when the
    // buffer is too small.
    virtual uint32_t GetTextUtf8(char* buffer, uint32_t bytes) = 0;
    virtual bool SetText(const wchar_t* text, uint32_t length) = 0;
    // bytes -1: up to the first zero byte. Malformed bytes are dropped.
    virtual bool SetTextUtf8(const char* text, int32_t bytes) = 0;
    virtual bool RemoveSection(const wchar_t* section) = 0;
    virtual bool RemoveKey(const wchar_t* section, const wchar_t* key) = 0;
    virtual CfgBallIterator* EnumSections() = 0;                     // null when out of memory
    virtual CfgBallIterator* EnumKeys(const wchar_t* section) = 0;  // null when out of memory
    // The value length + 1, or 0 when the key is absent.
    virtual uint32_t GetValueLength(const wchar_t* section, const wchar_t* key) = 0;
    // Copies the value, at most size - 1 characters, always terminated; false when the key is absent.
    virtual bool GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, uint32_t size) = 0;
    // Replaces the key's line, or adds it at the end of its section (the section is added when missing).
    virtual bool SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) = 0;
    // bits 64, 32, 16, 8 (or their negatives): stores that many low bits of the value at out; bits 1:
    // one byte, 1 or 0. Another width, or an absent key, returns false and leaves out untouched; a null
    // out only asks whether the key exists.
    virtual bool GetInt(const wchar_t* section, const wchar_t* key, int bits, void* out) = 0;
    // Writes the low bits of value in decimal: signed for negative bits, unsigned for positive ones,
    // 1 or 0 for bits 1.
    virtual bool SetInt(const wchar_t* section, const wchar_t* key, int bits, int64_t value) = 0;

protected:
    virtual ~CfgBall() = default;
};

// The one implementation: every operation except AddRef, Release and the decoding of SetTextUtf8
// runs under the bag's critical section, with ownerThread naming the thread inside.
class CfgBallImp final : public CfgBall {
public:
    // A bag with reference count 1, an empty text and room for 1000 characters; null (with the last
    // error ERROR_NOT_ENOUGH_MEMORY) when memory runs out.
    static CfgBallImp* Create();

    ULONG AddRef() override;
    ULONG Release() override;
    void Clear() override;
    uint32_t GetText(wchar_t* buffer, uint32_t length) override;
    uint32_t GetTextUtf8(char* buffer, uint32_t bytes) override;
    bool SetText(const wchar_t* text, uint32_t length) override;
    bool SetTextUtf8(const char* text, int32_t bytes) override;
    bool RemoveSection(const wchar_t* section) override;
    bool RemoveKey(const wchar_t* section, const wchar_t* key) override;
    CfgBallIterator* EnumSections() override;
    CfgBallIterator* EnumKeys(const wchar_t* section) override;
    uint32_t GetValueLength(const wchar_t* section, const wchar_t* key) override;
    bool GetString(const wchar_t* section, const wchar_t* key, wchar_t* buffer, uint32_t size) override;
    bool SetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) override;
    bool GetInt(const wchar_t* section, const wchar_t* key, int bits, void* out) override;
    bool SetInt(const wchar_t* section, const wchar_t* key, int bits, int64_t value) override;

    class Iterator;

private:
    class Locked;
    struct FreeText {
        void operator()(wchar_t* text) const noexcept { std::free(text); }
    };

    CfgBallImp(wchar_t* text, uint32_t capacity);
    ~CfgBallImp() override;
    CfgBallImp(const CfgBallImp&) = delete;
    CfgBallImp& operator=(const CfgBallImp&) = delete;

    bool Reserve(uint64_t needed);
    bool Replace(uint32_t begin, uint32_t end, const std::wstring& text);
    std::wstring_view Text() const { return std::wstring_view(text_.get(), length_); }

    volatile LONG references_ = 1;
    volatile DWORD ownerThread_ = 0;
    CRITICAL_SECTION lock_;
    std::unique_ptr<wchar_t, FreeText> text_;
    uint32_t length_ = 0;
    uint32_t capacity_ = 0;
};

}  // namespace vondrel
