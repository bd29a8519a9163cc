// cliOutput: safe texts and the progress line of albrivo-cli (see cliOutput.h).
#include "app/cliOutput.h"

#include "platform/rtl/SysUtils.h"

#include <algorithm>

namespace {

size_t Utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    return 2;
}

}  // namespace

std::string TerminalSafe(const std::string& Text) {
    const std::string valid = Utf8ToAnsi(Text);  // the system code page is UTF-8
    std::string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size(); i++) {
        unsigned char c = static_cast<unsigned char>(valid[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0) {
            out += '?';  // U+0080 ... U+009F
            i++;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string FormatBytes(int64_t Bytes) {
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    if (Bytes < 1024) return IntToStr(Bytes < 0 ? 0 : Bytes) + " B";
    double value = double(Bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        unit++;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string ProgressLineText(int Photo, int Count, int64_t Bytes, double Seconds) {
    std::string text = "[" + IntToStr(Photo) + "/" + IntToStr(Count) + "] " + FormatBytes(Bytes);
    if (Seconds >= 0.1) text += " " + FormatBytes(int64_t(double(Bytes) / Seconds)) + "/s";
    return text;
}

std::string FitColumns(const std::string& Text, int Columns) {
    int used = 0;
    size_t i = 0;
    while (i < Text.size()) {
        size_t len = Utf8Length(static_cast<unsigned char>(Text[i]));
        int width = len >= 3 ? 2 : 1;
        if (used + width > Columns) break;
        used += width;
        i += len;
    }
    return Text.substr(0, std::min(i, Text.size()));
}

std::string SummaryLine(const TAlbumRunResult& Run, const std::string& Folder) {
    return IntToStr(Run.SavedCount) + "/" + IntToStr(Run.PhotoCount) + " photos in " + Folder + " (" +
           IntToStr(Run.SavedCount - Run.SkippedCount) + " saved, " + IntToStr(Run.SkippedCount) + " skipped, " +
           IntToStr(Run.FailedCount) + " failed" + (Run.End == TRunEnd::Stopped ? ", stopped)" : ")");
}

std::string FailureLine(const TAlbumRunResult& Run, const std::string& Label) {
    if (Run.End == TRunEnd::NotRun) return "albrivo-cli: " + Label + "the run did not start";
    // With several albums the line names the album even when the run logged the cause.
    if (!Run.Failure && Label.empty()) return std::string();
    return "albrivo-cli: " + Label + Run.Error;
}

TCliOutput::TCliOutput(FILE* Out, FILE* Err, bool Terminal, int Columns)
    : FOut(Out), FErr(Err), FTerminal(Terminal), FColumns(Columns > 1 ? Columns : 80) {}

void TCliOutput::Line(const std::string& Text, bool ToErr) {
    ClearProgress();
    FILE* f = ToErr ? FErr : FOut;
    std::fprintf(f, "%s\n", TerminalSafe(Text).c_str());
    std::fflush(f);
    DrawProgress();
}

void TCliOutput::SetProgress(const std::string& Text) {
    if (!FTerminal) return;
    // One column stays free: a line that fills the last column wraps on some terminals.
    std::string fitted = FitColumns(TerminalSafe(Text), FColumns - 1);
    if (fitted == FProgress && (FDrawn || fitted.empty())) return;
    if (fitted.empty()) ClearProgress();
    FProgress = fitted;
    DrawProgress();
}

void TCliOutput::EndProgress() {
    ClearProgress();
    FProgress.clear();
}

void TCliOutput::ClearProgress() {
    if (!FTerminal || !FDrawn) return;
    std::fputs("\r\x1b[K", FOut);
    std::fflush(FOut);
    FDrawn = false;
}

void TCliOutput::DrawProgress() {
    if (!FTerminal || FProgress.empty()) return;
    std::fprintf(FOut, "\r%s\x1b[K", FProgress.c_str());
    std::fflush(FOut);
    FDrawn = true;
}
