// Owners for the platform's handles: each closes its resource exactly once, when it goes out of scope
// or is reset, so error paths never have to.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace vondrel {

// A move-only owner of one handle value; Traits supplies the invalid value and the close call.
template <typename Traits>
class UniqueResource {
public:
    using pointer = typename Traits::pointer;

    UniqueResource() noexcept = default;
    explicit UniqueResource(pointer value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    pointer get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    void reset(pointer value = Traits::Invalid()) noexcept {
        if (valid()) Traits::Close(value_);
        value_ = value;
    }
    pointer release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    // For out-parameters: frees what is held and hands out the slot.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::Invalid();
};

struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

// Handles whose "none" value is null: processes and threads (OpenProcess, CreateProcess) and access
// tokens (OpenProcessToken). A tool help snapshot fails with INVALID_HANDLE_VALUE and uses UniqueFile.
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct SidTraits {
    using pointer = PSID;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::FreeSid(h); }
};

struct LocalMemoryTraits {
    using pointer = HLOCAL;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::LocalFree(h); }
};

using UniqueFile = UniqueResource<FileHandleTraits>;          // CreateFileW
using UniqueKernelHandle = UniqueResource<KernelHandleTraits>;  // OpenProcess, CreateProcess, OpenProcessToken
using UniqueFind = UniqueResource<FindHandleTraits>;          // FindFirstFileW
using UniqueRegKey = UniqueResource<RegKeyTraits>;            // RegOpenKeyExW
using UniqueSid = UniqueResource<SidTraits>;                  // AllocateAndInitializeSid
using UniqueLocal = UniqueResource<LocalMemoryTraits>;        // LocalAlloc'd buffers from the system

// A COM interface pointer that releases its reference when it goes.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    explicit ComPtr(T* p) noexcept : p_(p) {}  // takes over a reference
    ComPtr(const ComPtr& other) noexcept : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* detach() noexcept { return std::exchange(p_, nullptr); }
    T** put() noexcept {
        reset();
        return &p_;
    }

private:
    T* p_ = nullptr;
};

}  // namespace vondrel
