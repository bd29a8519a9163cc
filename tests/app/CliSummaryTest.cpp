// albrivo-cli's last line of a run: the summary with the saved, skipped and failed counts
// and a stop, and the failure line that is printed only when the run did not log its cause.
#include "app/cliOutput.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(CliSummary, SummaryLineCountsAndStop) {
    struct TCase { int Photos, Saved, Skipped, Failed; TRunEnd End; const char* Line; };
    const TCase cases[] = {
        {12, 12, 0, 0, TRunEnd::Completed, "12/12 photos in /a/ (12 saved, 0 skipped, 0 failed)"},
        {12, 12, 12, 0, TRunEnd::Completed, "12/12 photos in /a/ (0 saved, 12 skipped, 0 failed)"},
        {5, 4, 1, 1, TRunEnd::Completed, "4/5 photos in /a/ (3 saved, 1 skipped, 1 failed)"},
        {12, 2, 0, 0, TRunEnd::Stopped, "2/12 photos in /a/ (2 saved, 0 skipped, 0 failed, stopped)"},
        {0, 0, 0, 0, TRunEnd::Completed, "0/0 photos in /a/ (0 saved, 0 skipped, 0 failed)"},
    };
    for (const TCase& c : cases) {
        TAlbumRunResult r;
        r.PhotoCount = c.Photos;
        r.SavedCount = c.Saved;
        r.SkippedCount = c.Skipped;
        r.FailedCount = c.Failed;
        r.End = c.End;
        EXPECT_EQ(SummaryLine(r, "/a/"), c.Line);
    }
}

TEST(CliSummary, AFailureIsPrintedOnlyWhenTheRunDidNotLogIt) {
    TAlbumRunResult logged;
    logged.End = TRunEnd::Failed;
    logged.Error = "未能识别相册页面";
    EXPECT_EQ(FailureLine(logged), "");

    TAlbumRunResult thrown;
    thrown.End = TRunEnd::Failed;
    thrown.Error = "HTTP 404 Not Found";
    thrown.Failure = std::make_exception_ptr(std::runtime_error("HTTP 404 Not Found"));
    EXPECT_EQ(FailureLine(thrown), "albrivo-cli: HTTP 404 Not Found");

    EXPECT_EQ(FailureLine(TAlbumRunResult()), "albrivo-cli: the run did not start");
}
