// cliOutput: what albrivo-cli prints, and how.
//
// Every text that reaches the terminal goes through TerminalSafe first: titles, album
// values and server texts can hold control bytes (an escape sequence, a carriage return,
// a bell) that must never reach a terminal raw. TCliOutput writes whole lines to standard
// output or standard error; on a terminal it also keeps one progress line at the bottom,
// redrawn in place ("\r" and erase to the end of the line), which every whole line first
// clears and then puts back, so the two never mix.
#pragma once

#include "album/albumRun.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Text with every control character replaced by "?": C0 bytes (tab, CR, LF, ESC, BEL ...),
// DEL, and the C1 controls U+0080 ... U+009F. Invalid UTF-8 becomes U+FFFD first, so a
// stray byte cannot be read as a C1 control either.
std::string TerminalSafe(const std::string& Text);

// "512 B", "12.3 KB", "4.5 MB", "1.2 GB" (1 KB = 1024 B).
std::string FormatBytes(int64_t Bytes);
// The progress line of the photo stage: "[5/12] 3.4 MB 1.2 MB/s" for photo 5 of 12, the
// bytes received so far and their rate over Seconds (no rate before a tenth of a second).
std::string ProgressLineText(int Photo, int Count, int64_t Bytes, double Seconds);
// Text cut to at most Columns terminal columns (a character of three or more UTF-8 bytes
// counts as two, as CJK characters are drawn), never inside a character.
std::string FitColumns(const std::string& Text, int Columns);

// The summary line of a run that opened its album: "12/12 photos in FOLDER (3 saved, 9
// skipped, 0 failed)", the first count the photos now in the folder, "saved" those this
// run fetched, "skipped" those already there; ", stopped" closes the brackets after a stop.
std::string SummaryLine(const TAlbumRunResult& Run, const std::string& Folder);
// The line albrivo-cli ends a run that could not be done with ("albrivo-cli: ", Label (the
// album's address and ": " when several albums run) and the cause); empty when the run
// wrote its cause to the log already and no Label is given, so it is not printed twice.
std::string FailureLine(const TAlbumRunResult& Run, const std::string& Label = std::string());

class TCliOutput {
public:
    // Terminal: keep a progress line (Out is a terminal Columns wide).
    TCliOutput(FILE* Out, FILE* Err, bool Terminal, int Columns);

    // Prints Text as a line of its own on standard output (ToErr: standard error).
    void Line(const std::string& Text, bool ToErr = false);
    // Replaces the progress line (terminal only; otherwise nothing happens); an empty
    // text removes it.
    void SetProgress(const std::string& Text);
    // Removes the progress line (terminal only).
    void EndProgress();
    bool Terminal() const { return FTerminal; }

private:
    void ClearProgress();
    void DrawProgress();

    FILE* FOut;
    FILE* FErr;
    const bool FTerminal;
    const int FColumns;
    std::string FProgress;  // the progress line's text, safe and fitted
    bool FDrawn = false;    // the progress line is on the screen
};
