// Assertions of the headphone surround: a failed check calls FxAssertFailed, which does nothing,
// and processing goes on. Where a failed check would let the code leave its buffers, the caller
// takes its safe path on the check's result (FX_CHECK yields the condition).
//
// Any IRQL; no allocation, no lock, no log (a check on the audio path must not flood the debug
// output).
#pragma once

#include <cstdint>

// The handler: records the call for the test hook below and returns.
void FxAssertFailed(const char *file, const char *condition);

// Calls FxAssertFailed(file, text) when ok is false; returns ok.
inline bool FxCheck(bool ok, const char *file, const char *text)
{
    if (!ok)
        FxAssertFailed(file, text);
    return ok;
}

// FX_CHECK(cond): the condition's own text. FX_CHECK_AS(cond, "text"): a check whose message is
// fixed text (the formatter would re-space a stringified condition).
#define FX_CHECK(cond) FxCheck(bool(cond), __FILE__, #cond)
#define FX_CHECK_AS(cond, text) FxCheck(bool(cond), __FILE__, text)

// Test hook: calls since the last reset and the last condition text (null before any).
int32_t FxAssertCount();
const char *FxAssertLastCondition();
void FxAssertReset();
