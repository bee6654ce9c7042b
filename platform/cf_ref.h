// Ownership of values of the vendor's value library. What a Create or Copy
// call returns (and AMDeviceCopyValue, AMDeviceCopyDeviceIdentifier,
// AMDeviceLookupApplications) is owned: hold it in a CFRef, which releases
// it with CFRelease. What a Get call returns is borrowed: keep it as a plain
// pointer, or take a reference of your own with CFRef::Retain.
#pragma once

#include "platform/vendor_calls.h"

#include <utility>

// The vendor's value library, bound at run time: what a CFRef releases
// through unless told otherwise.
struct BoundValueLibrary {
    static void Retain(CFTypeRef value) { vendor::CFRetain(value); }
    static void Release(CFTypeRef value) { vendor::CFRelease(value); }
};

template <typename T, typename Library = BoundValueLibrary> class CFRef {
  public:
    CFRef() = default;
    // Takes over an owned value (null allowed).
    explicit CFRef(T owned) : m_value(owned) {}
    // Retains a borrowed value and owns that reference.
    static CFRef Retain(T borrowed) {
        if (borrowed)
            Library::Retain(borrowed);
        return CFRef(borrowed);
    }
    ~CFRef() { reset(); }
    CFRef(const CFRef&) = delete;
    CFRef& operator=(const CFRef&) = delete;
    CFRef(CFRef&& other) noexcept : m_value(other.release()) {}
    CFRef& operator=(CFRef&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }
    // Gives up ownership without releasing.
    T release() { return std::exchange(m_value, nullptr); }
    void reset(T owned = nullptr) {
        T old = std::exchange(m_value, owned);
        if (old)
            Library::Release(old);
    }
    // For out-parameters of Copy calls: releases the current value and
    // returns the address to receive the new one.
    T* out() {
        reset();
        return &m_value;
    }

  private:
    T m_value = nullptr;
};

// A constant string for a key, domain or service name. Never released.
inline CFStringRef CFConstant(const char* utf8) { return vendor::__CFStringMakeConstantString(utf8); }
