// The image file name and family chosen while parsing, and the image file
// loaded into the buffer with its size rules, called in the test process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

#include "firmware_images.h"
#include "in_process.h"
#include "logfile/logfile.h"

using qbtest::CapturedStdout;
using qbtest::ScopedWorkDir;

namespace {

void set_name(const std::string& name) { std::snprintf(BinFilename, sizeof(BinFilename), "%s", name.c_str()); }

// What the program start and the run flow leave before a load.
void reset_image_state()
{
    CloseLogFile();
    CMDL_QuietMode = 0;
    CMDL_AppendLogFile = 0;
    std::memset(FirmwareImage, 0, sizeof(FirmwareImage));
    FileImageSize = 0;
    std::memset(ImageFileName, 0, sizeof(ImageFileName));
    ChipIDshouldbe = 0;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace

TEST(ImageFileName, FirstKeyOfTheFamilyOrderDecidesAnywhereInTheName)
{
    struct Case {
        const char* name;
        const char* family;
        int chip_id;
    };
    const Case cases[] = {
        {"fw_4083_4073.bin", "4073", 73},  // the order of the keys decides, not the position
        {"a4076.bin", "4076", 76},
        {"/images/4077/readme.bin", "4077", 77},  // the directory part counts
        {"qb4077.bin.old", "4077", 77},
        {"4080.bin", "4080", 80},
        {"x_4082_y.bin", "4082", 82},
        {"4084_4077.bin", "4077", 77},
        {"4084.bin", "4084", 84},
        {"qb4083.bin", "4083C", 83},
    };
    for (const Case& c : cases) {
        reset_image_state();
        set_name(c.name);
        CheckImageFileName();
        EXPECT_STREQ(ImageFileName, c.family) << c.name;
        EXPECT_EQ(ChipIDshouldbe, c.chip_id) << c.name;
    }
}

TEST(ImageFileName, ALaterNameReplacesTheWholeFamily)
{
    reset_image_state();
    set_name("qb4083.bin");
    CheckImageFileName();
    set_name("qb4073.bin");
    CheckImageFileName();
    EXPECT_STREQ(ImageFileName, "4073");
    EXPECT_EQ(ChipIDshouldbe, 73);
}

TEST(ImageFileNameDeathTest, UnusableNamesEndTheRunWithFive)
{
    struct Case {
        const char* name;
        const char* message;
    };
    const Case cases[] = {
        {"notes.txt", "ERROR: Invalid filename specified after -f \\[RETURN CODE:0x05\\]"},
        {"qb4078.bin", "ERROR: Invalid filename specified after -f"},
        {"qb4077.BIN", "ERROR: Invalid file type \\[RETURN CODE:0x05\\]"},
        {"qb4077.txt", "ERROR: Invalid file type"},
        {"QB4077bin", "ERROR: Invalid file type"},
    };
    for (const Case& c : cases) {
        reset_image_state();
        set_name(c.name);
        // The message goes to the console (standard output); show it where
        // the death test looks.
        EXPECT_EXIT(
            {
                dup2(2, 1);
                CheckImageFileName();
            },
            ::testing::ExitedWithCode(RC_COMMAND_LINE), c.message)
            << c.name;
    }
}

class ImageLoading : public ::testing::Test {
protected:
    void SetUp() override { reset_image_state(); }
    void TearDown() override { reset_image_state(); }

    // Writes the file, starts the log, loads; the console is kept.
    int load(const std::string& name, const std::string& contents)
    {
        if (name.rfind("missing", 0) != 0)
            write_file(name, contents);
        set_name(name);
        CheckImageFileName();
        StartLogFile("log.txt");
        CapturedStdout out;
        int result = LoadFirmwareImage();
        console = out.text();
        return result;
    }
    void write_file(const std::string& name, const std::string& contents)
    {
        FILE* f = std::fopen((dir.path() / name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    }

    ScopedWorkDir dir;
    std::string console;
};

TEST_F(ImageLoading, SizeRulesOfEachFamily)
{
    struct Case {
        const char* name;
        size_t file_size;
        int result;
        int loaded;
        bool eof_line;
    };
    const Case cases[] = {
        {"fw_4073.bin", 7679, 0, 7679, true},
        {"fw_4073.bin", 7680, RC_IMAGE_FILE, 7680, true},
        {"fw_4076.bin", 7680, RC_IMAGE_FILE, 7680, true},
        {"fw_4083.bin", 7680, 0, 7680, true},
        {"fw_4077.bin", 20479, 0, 20479, true},
        {"fw_4077.bin", 20480, 0, 20480, false},  // the buffer is full before the end of the file is seen
        {"fw_4084.bin", 30000, 0, 20480, false},  // the rest of the file is not read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.file_size) + " bytes");
        reset_image_state();
        const std::string image = qbtest::make_image(c.file_size, {7, 8, 9});
        EXPECT_EQ(load(c.name, image), c.result);
        EXPECT_EQ(FileImageSize, c.loaded);
        EXPECT_EQ(std::memcmp(FirmwareImage, image.data(), c.loaded), 0);
        EXPECT_EQ(has(console, "EOF reached. Loaded"), c.eof_line);
        const std::string log = dir.read("log.txt");
        if (c.result == 0) {
            EXPECT_TRUE(has(log, "Finished loading firmware. i:0x%04 (" + std::to_string(c.loaded) + ") bytes\n"));
            EXPECT_TRUE(has(log, "Firmware binary loaded is FW:[0x07:0x08]\n\n"));
            EXPECT_TRUE(has(log, "Entering Scan and Upgrade on all mode...\n"));
            EXPECT_NE(log_file, nullptr);
        } else {
            const std::string family = std::string(c.name).substr(3, 4);
            EXPECT_TRUE(has(log, "\nERROR: Invalid file size for QB" + family + " in file " + c.name +
                                     " [RETURN CODE:0x01]\n"));
            EXPECT_FALSE(has(log, "Finished loading"));
            EXPECT_EQ(log_file, nullptr) << "the log must be closed on a failed load";
        }
    }
}

TEST_F(ImageLoading, EmptyFileLoadsNothingAndItsVersionReadsZero)
{
    EXPECT_EQ(load("fw_4077.bin", ""), 0);
    EXPECT_EQ(FileImageSize, 0);
    EXPECT_TRUE(has(console, "\rLoading binary: 0x0000:ff\nEOF reached. Loaded 0 (0x0000) bytes\r\n"));
    EXPECT_TRUE(has(console, "Finished loading firmware. i:0x%04 (0) bytes\r\n"));
    EXPECT_TRUE(has(console, "Firmware binary loaded is FW:[0x00:0x00]\n\r\n"));
}

TEST_F(ImageLoading, EveryByteShowsItsProgressLineOnTheConsoleOnly)
{
    EXPECT_EQ(load("fw_4080.bin", std::string("\x12\x34\xff", 3)), 0);
    const std::string expected = "Loading Firmware up to max 0x5000 (20480) bytes...\r\n"
                                 "\rLoading binary: 0x0000:12"
                                 "\rLoading binary: 0x0001:34"
                                 "\rLoading binary: 0x0002:ff"
                                 "\rLoading binary: 0x0003:ff"  // the end-of-file read
                                 "\nEOF reached. Loaded 3 (0x0003) bytes\r\n";
    EXPECT_TRUE(has(console, expected)) << console;
    EXPECT_FALSE(has(dir.read("log.txt"), "Loading binary"));
    EXPECT_TRUE(has(dir.read("log.txt"), "File fw_4080.bin opened\n\n"));
}

TEST_F(ImageLoading, AFullBufferShowsOneProgressLinePerByteInOrder)
{
    ASSERT_EQ(load("fw_4082.bin", qbtest::make_image(30000)), 0);
    EXPECT_EQ(count(console, "\rLoading binary: "), 20480u);
    // No end-of-file read: the next line starts over the last progress line.
    char last[80];
    std::snprintf(last, sizeof(last), "\rLoading binary: 0x4fff:%02xFinished loading firmware.",
                  qbtest::image_pattern_byte(0x4fff));
    EXPECT_TRUE(has(console, last));
}

TEST_F(ImageLoading, QuietModeShowsNoProgress)
{
    CMDL_QuietMode = 1;
    EXPECT_EQ(load("fw_4077.bin", qbtest::make_image(600)), 0);
    EXPECT_EQ(console, "");
    EXPECT_TRUE(has(dir.read("log.txt"), "\nEOF reached. Loaded 600 (0x0258) bytes\n"));
}

TEST_F(ImageLoading, AFileThatCannotBeOpenedClosesTheLog)
{
    EXPECT_EQ(load("missing_4077.bin", ""), RC_IMAGE_FILE);
    EXPECT_EQ(log_file, nullptr);
    EXPECT_EQ(dir.read("log.txt"), "\nOpening image file: missing_4077.bin\n"
                                   "ERROR: Can't open file missing_4077.bin [RETURN CODE:0x01]\n"
                                   "Kcs Close\n");
}

TEST(ImageFiles, TheDemoImageIsTheOneTheScriptAndTheTestsMake)
{
    FILE* f = std::fopen(QB40_SOURCE_DIR "/sim/images/fw_4077.bin", "rb");
    ASSERT_NE(f, nullptr);
    std::string bytes(8192, '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    EXPECT_EQ(bytes, qbtest::make_image(4096, {1, 2, 0}));
}
