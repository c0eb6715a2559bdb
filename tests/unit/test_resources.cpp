// Tests of the compiled resources as the program loads them: the dialog template, string, icons.
#include "resources/resource.h"
#include "test_support.h"

#include <string.h>

namespace {

const WORD ENGLISH_US = 0x0409;

// Reads a resource's bytes little-endian, failing the test instead of reading past the end.
class Bytes {
  public:
    Bytes(const BYTE *data, size_t size) : data_(data), size_(size) {}

    WORD Word()
    {
        if (!Have(2))
            return 0;
        WORD value = (WORD)(data_[at_] | data_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | (DWORD)Word() << 16;
    }
    short Short() { return (short)Word(); }
    BYTE Byte()
    {
        if (!Have(1))
            return 0;
        return data_[at_++];
    }
    std::string String()
    {
        std::string text;
        for (WORD c = Word(); c != 0 && !overrun_; c = Word())
            text += c < 0x80 ? (char)c : '?';
        return text;
    }
    void Align() { at_ = (at_ + 3) & ~(size_t)3; }
    size_t Offset() const { return at_; }
    bool Overrun() const { return overrun_; }

  private:
    bool Have(size_t count)
    {
        if (at_ + count > size_) {
            overrun_ = true;
            return false;
        }
        return true;
    }
    const BYTE *data_;
    size_t size_;
    size_t at_ = 0;
    bool overrun_ = false;
};

struct Resource {
    const BYTE *data = nullptr;
    DWORD size = 0;
};

Resource Load(LPCWSTR name, LPCWSTR type)
{
    Resource resource;
    HRSRC found = FindResourceW(TestInstance(), name, type);
    EXPECT_NE(found, nullptr);
    if (found == NULL)
        return resource;
    resource.data = (const BYTE *)LoadResource(TestInstance(), found);
    resource.size = SizeofResource(TestInstance(), found);
    EXPECT_NE(resource.data, nullptr);
    return resource;
}

struct Item {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    WORD id;
    WORD classAtom;
    std::string text;
    WORD titleOrdinal;
    WORD extra;
};

Item ReadItem(Bytes &in)
{
    Item item{};
    in.Align();
    item.style = in.Dword();
    item.exStyle = in.Dword();
    item.x = in.Short();
    item.y = in.Short();
    item.cx = in.Short();
    item.cy = in.Short();
    item.id = in.Word();
    EXPECT_EQ(in.Word(), 0xFFFF) << "class as an atom";
    item.classAtom = in.Word();
    WORD first = in.Word();
    if (first == 0xFFFF) {
        item.titleOrdinal = in.Word();
    } else if (first != 0) {
        item.text = std::string(1, (char)first) + in.String();
    }
    item.extra = in.Word();
    return item;
}

TEST(Resources, DialogTemplateIsTheStandardOneWithItsFiveControls)
{
    Resource dialog = Load(MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    ASSERT_NE(dialog.data, nullptr);
    EXPECT_NE(
        FindResourceExW(TestInstance(), RT_DIALOG, MAKEINTRESOURCE(IDD_ADDON_ERROR), ENGLISH_US),
        nullptr);
    Bytes in(dialog.data, dialog.size);

    DWORD style = in.Dword();
    EXPECT_EQ(style, 0x80C808C0u);
    EXPECT_EQ(style,
              (DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT));
    EXPECT_EQ(in.Dword(), 0u) << "no extended style";
    WORD count = in.Word();
    EXPECT_EQ(count, 5);
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 295);
    EXPECT_EQ(in.Short(), 97);
    EXPECT_EQ(in.Word(), 0) << "no menu";
    EXPECT_EQ(in.Word(), 0) << "the default dialog class";
    EXPECT_EQ(in.String(), "Firmware Add-on Error");
    EXPECT_EQ(in.Word(), 8) << "point size";
    EXPECT_EQ(in.String(), "MS Sans Serif");

    // The five controls in template (and tab) order; an icon's title is its resource ordinal.
    struct Expected {
        WORD id, classAtom;
        const char *text;
        WORD titleOrdinal;
        DWORD style;
        short x, y, cx, cy;
    };
    const DWORD child = WS_CHILD | WS_VISIBLE;
    const Expected controls[] = {
        {IDCANCEL, 0x80, "Cancel", 0, child | WS_TABSTOP | BS_PUSHBUTTON, 121, 73, 50, 14},
        {IDC_MESSAGE, 0x82, "", 0, child | WS_GROUP | SS_LEFT, 55, 12, 230, 36},
        {IDC_TIMEOUT_LABEL, 0x82, "Time out (in Second)", 0, child | WS_GROUP | SS_LEFT, 84, 57, 91,
         11},
        {IDC_TIMEOUT_VALUE, 0x82, "", 0, child | WS_GROUP | WS_BORDER | SS_LEFT, 182, 56, 21, 11},
        {0xFFFF, 0x82, "", IDI_ADDON_ERROR, child | SS_ICON, 21, 13, 21, 20},
    };
    for (const Expected &expected : controls) {
        Item item = ReadItem(in);
        SCOPED_TRACE(expected.id);
        EXPECT_EQ(item.id, expected.id);
        EXPECT_EQ(item.classAtom, expected.classAtom) << "0x80 button, 0x82 static";
        if (expected.titleOrdinal != 0)
            EXPECT_EQ(item.titleOrdinal, expected.titleOrdinal);
        else
            EXPECT_EQ(item.text, expected.text);
        EXPECT_EQ(item.style, expected.style);
        EXPECT_EQ((std::vector<short>{item.x, item.y, item.cx, item.cy}),
                  (std::vector<short>{expected.x, expected.y, expected.cx, expected.cy}));
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.extra, 0);
    }
    EXPECT_FALSE(in.Overrun());
    EXPECT_EQ(in.Offset(), dialog.size) << "nothing after the fifth control";
}

TEST(Resources, MessageStringLoadsWholeAndTruncatesWithinItsCapacity)
{
    const char expected[] = "Cannot add this firmware to the incompatible installed firmware.\n"
                            "The current installed firmware must be Version %s (Build %d) or "
                            "higher.";
    WCHAR text[300];
    for (WCHAR &c : text)
        c = 0xBEEF;
    EXPECT_EQ(LoadStringW(TestInstance(), IDS_INCOMPATIBLE, text, 300), 136);
    EXPECT_EQ(Narrow(text), expected);
    EXPECT_EQ(text[64], (WCHAR)'\n');
    EXPECT_EQ(text[136], 0);
    EXPECT_EQ(text[137], 0xBEEF) << "nothing written past the terminator";

    WCHAR small[12];
    for (WCHAR &c : small)
        c = 0xBEEF;
    EXPECT_EQ(LoadStringW(TestInstance(), IDS_INCOMPATIBLE, small, 10), 9);
    EXPECT_EQ(Narrow(small), "Cannot ad");
    EXPECT_EQ(small[9], 0);
    EXPECT_EQ(small[10], 0xBEEF);

    WCHAR one[2] = {0xBEEF, 0xBEEF};
    EXPECT_EQ(LoadStringW(TestInstance(), IDS_INCOMPATIBLE, one, 1), 0);
    EXPECT_EQ(one[0], 0xBEEF);

    // Capacity 0: a pointer to the resource's own text, which has no terminator.
    const WCHAR *inPlace = nullptr;
    EXPECT_EQ(LoadStringW(TestInstance(), IDS_INCOMPATIBLE, (LPWSTR)&inPlace, 0), 136);
    ASSERT_NE(inPlace, nullptr);
    EXPECT_EQ(Narrow(WString(inPlace, 136).c_str()), expected);

    EXPECT_NE(FindResourceExW(TestInstance(), RT_STRING, MAKEINTRESOURCE(IDS_INCOMPATIBLE / 16 + 1),
                              ENGLISH_US),
              nullptr);
}

TEST(Resources, MissingStringsAndResourcesAreNotFound)
{
    WCHAR text[20] = {0xBEEF};
    // Same block as string 1, and a block that does not exist.
    EXPECT_EQ(LoadStringW(TestInstance(), 2, text, 20), 0);
    EXPECT_EQ(LoadStringW(TestInstance(), 0, text, 20), 0);
    EXPECT_EQ(LoadStringW(TestInstance(), 4000, text, 20), 0);
    EXPECT_EQ(FindResourceW(TestInstance(), MAKEINTRESOURCE(102), RT_DIALOG), nullptr);
    EXPECT_EQ(FindResourceW(TestInstance(), MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_STRING), nullptr);
    EXPECT_EQ(FindResourceExW(TestInstance(), RT_DIALOG, MAKEINTRESOURCE(IDD_ADDON_ERROR), 0x0407),
              nullptr);
}

TEST(Resources, ManifestRunsTheProgramAsItsCallerOnEveryWindowsFromVistaOn)
{
    // CREATEPROCESS_MANIFEST_RESOURCE_ID of type RT_MANIFEST, where Windows looks for it.
    Resource manifest = Load(MAKEINTRESOURCE(1), MAKEINTRESOURCE(24));
    ASSERT_NE(manifest.data, nullptr);
    std::string text((const char *)manifest.data, manifest.size);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"", 0), 0u);
    EXPECT_NE(text.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos);
    // Vista, 7, 8, 8.1, 10 and 11.
    for (const char *id :
         {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
          "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
          "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(text.find(std::string("<supportedOS Id=\"{") + id + "}\"/>"), std::string::npos)
            << id;
    EXPECT_EQ(text.find("requireAdministrator"), std::string::npos);
}

struct IconImage {
    int width, height, colours, bits;
    std::vector<std::vector<int>> rgb; // -1 transparent, else 0xRRGGBB; row 0 at the top
};

// One RT_ICON image: its header, palette, colour bits and mask, as the shell would draw it.
IconImage ReadIconImage(WORD id)
{
    IconImage image{};
    Resource icon = Load(MAKEINTRESOURCE(id), RT_ICON);
    if (icon.data == nullptr)
        return image;
    Bytes in(icon.data, icon.size);
    EXPECT_EQ(in.Dword(), 40u);
    image.width = (int)in.Dword();
    int doubled = (int)in.Dword();
    image.height = doubled / 2;
    EXPECT_EQ(doubled, 2 * image.width) << "colour bits and mask";
    EXPECT_EQ(in.Word(), 1);
    image.bits = in.Word();
    EXPECT_EQ(in.Dword(), 0u) << "uncompressed";
    in.Dword();
    in.Dword();
    in.Dword();
    DWORD used = in.Dword();
    in.Dword();
    image.colours = used != 0 ? (int)used : 1 << image.bits;
    std::vector<int> palette;
    for (int i = 0; i < image.colours; ++i) {
        int b = in.Byte(), g = in.Byte(), r = in.Byte();
        in.Byte();
        palette.push_back(r << 16 | g << 8 | b);
    }
    size_t offset = in.Offset();
    size_t rowBytes = (size_t)((image.width * image.bits + 31) / 32 * 4);
    size_t maskRow = (size_t)((image.width + 31) / 32 * 4);
    size_t maskStart = offset + rowBytes * (size_t)image.height;
    EXPECT_EQ(maskStart + maskRow * (size_t)image.height, icon.size);
    if (maskStart + maskRow * (size_t)image.height > icon.size)
        return image;
    image.rgb.assign((size_t)image.height, std::vector<int>((size_t)image.width, -1));
    for (int y = 0; y < image.height; ++y) {
        const BYTE *row = icon.data + offset + rowBytes * (size_t)(image.height - 1 - y);
        const BYTE *mask = icon.data + maskStart + maskRow * (size_t)(image.height - 1 - y);
        for (int x = 0; x < image.width; ++x) {
            int bit = image.bits * x;
            int index = (row[bit / 8] >> (8 - image.bits - bit % 8)) & ((1 << image.bits) - 1);
            bool clear = (mask[x / 8] >> (7 - x % 8)) & 1;
            image.rgb[(size_t)y][(size_t)x] = clear ? -1 : palette[(size_t)index];
        }
    }
    return image;
}

struct GroupEntry {
    int width, height, colours, bits;
    DWORD bytes;
    WORD id;
};

std::vector<GroupEntry> ReadIconGroup(WORD id)
{
    std::vector<GroupEntry> entries;
    EXPECT_NE(FindResourceExW(TestInstance(), RT_GROUP_ICON, MAKEINTRESOURCE(id), ENGLISH_US),
              nullptr)
        << id;
    Resource group = Load(MAKEINTRESOURCE(id), RT_GROUP_ICON);
    if (group.data == nullptr)
        return entries;
    Bytes in(group.data, group.size);
    EXPECT_EQ(in.Word(), 0);
    EXPECT_EQ(in.Word(), 1) << "icons, not cursors";
    WORD count = in.Word();
    for (WORD i = 0; i < count && !in.Overrun(); ++i) {
        GroupEntry entry{};
        entry.width = in.Byte();
        entry.height = in.Byte();
        entry.colours = in.Byte();
        in.Byte();
        in.Word();
        entry.bits = in.Word();
        entry.bytes = in.Dword();
        entry.id = in.Word();
        entries.push_back(entry);
    }
    EXPECT_FALSE(in.Overrun());
    return entries;
}

int CountPixels(const IconImage &image, int rgb)
{
    int count = 0;
    for (const auto &row : image.rgb)
        for (int pixel : row)
            count += pixel == rgb;
    return count;
}

const int NO_COLOUR = -1, BLACK = 0x000000, WHITE = 0xFFFFFF, RED = 0xFF0000, DARK_RED = 0x800000,
          SILVER = 0xC0C0C0, GREY = 0x808080;

TEST(Resources, AppIconIsAGreyDisketteAtTwoSizesInSixteenColours)
{
    std::vector<GroupEntry> group = ReadIconGroup(IDI_APP);
    ASSERT_EQ(group.size(), 2u);
    int sizes[] = {32, 16};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(sizes[i]);
        EXPECT_EQ(group[i].width, sizes[i]);
        EXPECT_EQ(group[i].height, sizes[i]);
        EXPECT_EQ(group[i].colours, 16);
        EXPECT_EQ(group[i].bits, 4);
        IconImage image = ReadIconImage(group[i].id);
        EXPECT_EQ(image.width, sizes[i]);
        EXPECT_EQ(image.bits, 4);
        EXPECT_EQ(
            SizeofResource(TestInstance(),
                           FindResourceW(TestInstance(), MAKEINTRESOURCE(group[i].id), RT_ICON)),
            group[i].bytes);
        if (image.rgb.empty())
            continue;
        // Mostly light grey body, with the outline, label and shutter colours all present.
        int area = image.width * image.height;
        EXPECT_GT(CountPixels(image, SILVER), area / 4);
        EXPECT_GT(CountPixels(image, BLACK), 0);
        EXPECT_GT(CountPixels(image, WHITE), 0);
        EXPECT_GT(CountPixels(image, GREY), 0);
        EXPECT_EQ(CountPixels(image, RED), 0);
        int last = image.width - 1;
        EXPECT_EQ(image.rgb[0][0], NO_COLOUR) << "the outline keeps clear of the edge";
        // The shutter sits in the bottom half, in the middle.
        EXPECT_EQ(image.rgb[(size_t)last - 3][(size_t)image.width * 11 / 32], GREY);
        EXPECT_NE(image.rgb[(size_t)image.height / 4][(size_t)image.width / 2], GREY);
    }
}

TEST(Resources, ErrorIconIsARedDiscWithACrossAndAMonochromeTwin)
{
    std::vector<GroupEntry> group = ReadIconGroup(IDI_ADDON_ERROR);
    ASSERT_EQ(group.size(), 2u);
    EXPECT_EQ(group[0].width, 32);
    EXPECT_EQ(group[0].colours, 16);
    EXPECT_EQ(group[0].bits, 4);
    EXPECT_EQ(group[1].width, 32);
    EXPECT_EQ(group[1].colours, 2);
    EXPECT_EQ(group[1].bits, 1);

    IconImage colour = ReadIconImage(group[0].id);
    ASSERT_EQ(colour.rgb.size(), 32u);
    EXPECT_GT(CountPixels(colour, RED), 200);
    EXPECT_GT(CountPixels(colour, DARK_RED), 40);
    EXPECT_GT(CountPixels(colour, WHITE), 20);
    EXPECT_GT(CountPixels(colour, GREY), 10);
    EXPECT_EQ(colour.rgb[0][0], NO_COLOUR);
    EXPECT_EQ(colour.rgb[15][15], WHITE) << "the cross meets in the middle";
    EXPECT_EQ(colour.rgb[25][25], GREY) << "shadow at the lower right";
    EXPECT_EQ(colour.rgb[2][29], NO_COLOUR) << "no shadow at the upper right";

    IconImage mono = ReadIconImage(group[1].id);
    ASSERT_EQ(mono.rgb.size(), 32u);
    EXPECT_EQ(mono.bits, 1);
    EXPECT_EQ(mono.colours, 2);
    EXPECT_EQ(mono.rgb[15][15], BLACK);
    EXPECT_GT(CountPixels(mono, WHITE), 200);
    EXPECT_GT(CountPixels(mono, BLACK), 60);
    EXPECT_EQ(mono.rgb[25][25], NO_COLOUR) << "no shadow";
    EXPECT_EQ(CountPixels(mono, GREY) + CountPixels(mono, RED), 0);
}

} // namespace
