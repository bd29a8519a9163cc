// Run-time library: string lists, streams, components, files, case and code pages.
#include "platform/rtl/Classes.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <gtest/gtest.h>

TEST(StringList, SplitsAtCrLfAndCrLfAndStopsAtNul) {
    struct Case { std::string text; std::vector<std::string> lines; };
    const Case cases[] = {
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\r\n", {"a"}},
        {"a\n\nb", {"a", "", "b"}},
        {"", {}},
        {std::string("ab\ncd\0ef\ngh", 11), {"ab", "cd"}},
        {"\r\n", {""}},
    };
    for (const auto& c : cases) {
        TStringList l;
        l.SetText(c.text);
        EXPECT_EQ(l.Items(), c.lines) << c.text;
    }
}

TEST(StringList, IndexOutOfRangeThrowsListError) {
    TStringList l;
    l.Add("x");
    EXPECT_EQ(l[0], "x");
    try {
        l.Strings(3);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (3)");
    }
    EXPECT_THROW(l.Strings(-1), EListError);
}

TEST(Streams, MemoryFileAndStringStreams) {
    std::string dir = PrivateTempDir();
    TStringStream s("hello");
    EXPECT_EQ(s.Size(), 5);
    s.Seek(0, soEnd);
    s.WriteBuffer(" world", 6);
    EXPECT_EQ(s.DataString(), "hello world");
    s.SaveToFile(dir + "s.txt");
    {
        TFileStream f(dir + "s.txt", fmOpenRead);
        EXPECT_EQ(f.Size(), 11);
        char buf[64];
        f.ReadBuffer(buf, 5);
        EXPECT_EQ(std::string(buf, 5), "hello");
        EXPECT_THROW(f.ReadBuffer(buf, 50), EReadError);
    }
    try {
        TFileStream f(dir + "no/such/dir/x", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + dir + "no/such/dir/x\".", 0), 0u) << e.Message();
    }
    EXPECT_THROW(TFileStream(dir + "missing", fmOpenRead), EFOpenError);
}

TEST(Components, OwnerFreesOwnedAndFindsByNameIgnoringCase) {
    static int alive = 0;
    struct TProbe : TComponent {
        explicit TProbe(TComponent* o) : TComponent(o) { ++alive; }
        ~TProbe() override { --alive; }
    };
    {
        TComponent owner(nullptr);
        auto* a = new TProbe(&owner);
        a->SetName("btnDownload");
        auto* b = new TProbe(&owner);
        b->SetName("Image1");
        EXPECT_EQ(owner.FindComponent("BTNDOWNLOAD"), a);
        EXPECT_EQ(owner.FindComponent("image1"), b);
        EXPECT_EQ(owner.FindComponent("nothing"), nullptr);
        delete b;  // leaves the owner's list
        EXPECT_EQ(owner.ComponentCount(), 1);
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);
}

TEST(Files, PathsAndFolders) {
    EXPECT_EQ(ExtractFilePath("/a/b/c.jpg"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("/albrivo"), "/");
    EXPECT_EQ(ExtractFileName("/a/b/c.jpg"), "c.jpg");
    EXPECT_EQ(ExtractFileExt("/a.b/c.JPG"), ".JPG");
    EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
    std::string dir = PrivateTempDir() + "x/y/z";
    EXPECT_TRUE(ForceDirectories(dir));
    EXPECT_TRUE(DirectoryExists(dir));
    EXPECT_FALSE(FileExists(dir));
    EXPECT_EQ(ExtractFilePath(ExecutableFileName()).back(), '/');
}

TEST(Text, CaseNumbersAndCodePage) {
    EXPECT_EQ(UpperCase("abc\xE4\xB8\xAD"), "ABC\xE4\xB8\xAD");
    EXPECT_EQ(LowerCase("ABC"), "abc");
    EXPECT_EQ(StrToInt(" -12 "), -12);
    try {
        StrToInt("12a");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'12a' is not a valid integer value");
    }
    struct { const char* Text; bool Ok; int Value; } numbers[] = {
        {"4", true, 4}, {"16", true, 16}, {"1", true, 1}, {"17", false, 0}, {"0", false, 0},
        {"", false, 0}, {"+4", false, 0}, {" 4", false, 0}, {"4x", false, 0}, {"-1", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const auto& n : numbers) {
        int value = -7;
        EXPECT_EQ(ReadBoundedNumber(n.Text, 1, 16, value), n.Ok) << n.Text;
        EXPECT_EQ(value, n.Ok ? n.Value : -7) << n.Text;
    }
    EXPECT_EQ(Utf8ToAnsi("中文"), "中文");
    EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToAnsi("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "overlong NUL";
    EXPECT_FALSE(LoadStr(SMainWindowTitle).empty());
}
