#pragma once
#include <atomic>

// An atomic field for value classes whose objects are copied: copying reads
// the source once and stores the value. Other threads may read and write the
// field at any time.
template <typename T>
class CopyableAtomic {
public:
    CopyableAtomic(T v = T()) : m_v(v) {}  // NOLINT: implicit on purpose
    CopyableAtomic(const CopyableAtomic& o) : m_v(o.load()) {}
    CopyableAtomic& operator=(const CopyableAtomic& o) {
        m_v.store(o.load());
        return *this;
    }
    CopyableAtomic& operator=(T v) {
        m_v.store(v);
        return *this;
    }
    operator T() const { return m_v.load(); }  // NOLINT
    T load() const { return m_v.load(); }
    void store(T v) { m_v.store(v); }
    T fetchAdd(T d) { return m_v.fetch_add(d); }

private:
    std::atomic<T> m_v;
};
