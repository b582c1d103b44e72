// KOV_SKIP() << "why": GTEST_SKIP() where the test cannot run here (no root,
// no loop devices, no zone data ...), but a failure where every test must
// run: on the CI machine, which sets KOV_REQUIRE_ALL=1.
#pragma once

#include <QtGlobal>
#include <gtest/gtest.h>

namespace testsupport {

inline bool requireall()
{
    const QByteArray value = qgetenv("KOV_REQUIRE_ALL");
    return !value.isEmpty() && value != "0";
}

}  // namespace testsupport

#define KOV_SKIP()                                                                                  \
    return GTEST_MESSAGE_(::testsupport::requireall() ? "Cannot run here, yet KOV_REQUIRE_ALL is set" \
                                                      : "Skipped",                                  \
                          ::testsupport::requireall() ? ::testing::TestPartResult::kFatalFailure   \
                                                      : ::testing::TestPartResult::kSkip)
