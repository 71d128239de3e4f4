// Unwinding: a function that acquires several things in turn arms one guard that undoes whatever was
// acquired, so every failure return takes the same path and success dismisses it.
#pragma once

#include <nt_types.h>

// Runs `cleanup` when the scope ends unless Dismiss was called first. The clean-up must accept what
// is half done (null pointers, lists not yet created); it runs at the IRQL of the scope's end.
template <class F> class CScopeGuard
{
public:
    explicit CScopeGuard(F cleanup) : m_Cleanup(static_cast<F &&>(cleanup)), m_Armed(TRUE) {}
    ~CScopeGuard()
    {
        if (m_Armed)
            m_Cleanup();
    }
    CScopeGuard(const CScopeGuard &) = delete;
    CScopeGuard &operator=(const CScopeGuard &) = delete;

    // The work succeeded: nothing is undone.
    void Dismiss() { m_Armed = FALSE; }

private:
    F m_Cleanup;
    BOOLEAN m_Armed;
};
