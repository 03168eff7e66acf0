// SPDX-License-Identifier: MIT
// The firmware image: the family chosen from the file name while the command
// line is parsed, and the file read into the image buffer once per BMC pass.
#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "../bmc/discovery.h"
#include "../capture/capture_run.h"
#include "../common/settings.h"
#include "../common/sha256.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "signals.h"

INT8U FirmwareImage[FIRMWARE_IMAGE_SIZE];
INT16U FileImageSize = 0;
char ImageSha256[SHA256_HEX_SIZE] = "";

namespace {

// The digest of the file as the run's first pass read it.
char FirstPassSha256[SHA256_HEX_SIZE] = "";

// The byte-by-byte loading progress goes to the console only. Every byte
// shows its line, but the lines are gathered here and written in large
// pieces, so loading a whole image costs a handful of writes, not one per
// byte; what the console ends up showing is the same.
char LoadingProgress[8192];
size_t LoadingProgressUsed = 0;

void FlushLoadingProgress()
{
    if (LoadingProgressUsed == 0)
        return;
    std::fwrite(LoadingProgress, 1, LoadingProgressUsed, stdout);
    std::fflush(stdout);
    LoadingProgressUsed = 0;
}

void ShowLoadingProgress(INT16U address, int byte_read)
{
    constexpr size_t kLongestLine = sizeof("\rLoading binary: 0xffff:ff");
    if (sizeof(LoadingProgress) - LoadingProgressUsed < kLongestLine)
        FlushLoadingProgress();
    LoadingProgressUsed += std::snprintf(LoadingProgress + LoadingProgressUsed,
                                         sizeof(LoadingProgress) - LoadingProgressUsed,
                                         "\rLoading binary: 0x%04x:%02x", address, byte_read & 0xFF);
}

// The digest covers every byte of the file, also those past the buffer that
// are never programmed, so that it can be held against the file's published
// one. False when the rest of the file cannot be read.
bool DigestWholeFile(FILE* image_file, bool at_end)
{
    Sha256 sha;
    Sha256Begin(&sha);
    Sha256Add(&sha, FirmwareImage, FileImageSize);
    INT8U rest[4096];
    for (size_t n; !at_end && (n = std::fread(rest, 1, sizeof rest, image_file)) > 0;)
        Sha256Add(&sha, rest, n);
    if (std::ferror(image_file))
        return false;
    INT8U digest[SHA256_DIGEST_SIZE];
    Sha256End(&sha, digest);
    Sha256Hex(digest, ImageSha256);
    return true;
}

int FailLoading(FILE* image_file)
{
    if (image_file)
        std::fclose(image_file);
    // A signal that came before the refusal ends the run as a signal does,
    // while the log is still open to say so.
    CheckSignal();
    EndRun(RC_IMAGE_FILE);  // while the log can still tell if the report fails
    Kcs_Close();
    CloseLogFile();
    return RC_IMAGE_FILE;
}

}  // namespace

void CheckImageBaseName()
{
    const char* slash = std::strrchr(BinFilename, '/');
    const char* base = slash ? slash + 1 : BinFilename;
    const size_t directory_length = static_cast<size_t>(base - BinFilename);
    const ChipFamily* chosen = FamilyKeyedIn(base, std::strlen(base));
    if (!chosen)
        CommandLineError("ERROR: No family key in the image file's own name %s (--strict and --plan take the "
                         "family from it) [RETURN CODE:0x%02x]",
                         base, RC_COMMAND_LINE);
    std::snprintf(ImageFileName, sizeof(ImageFileName), "%s", chosen->family_text);
    ChipIDshouldbe = chosen->chip_id;
    ImageFamilyFromBaseName = 1;
    // rel-4073/fw_4077.bin: a directory, a date or a ticket number must not
    // look as if it chose the family.
    for (const ChipFamily& family : kChipFamilies) {
        if (memmem(BinFilename, directory_length, family.key, std::strlen(family.key)) &&
            !std::strstr(base, family.key))
            CommandLineError("ERROR: The directory of image file %s holds the family key %s that its name %s does "
                             "not [RETURN CODE:0x%02x]",
                             BinFilename, family.key, base, RC_COMMAND_LINE);
    }
}

void CheckImageFileName()
{
    const ChipFamily* chosen = FamilyKeyedIn(BinFilename, std::strlen(BinFilename));
    if (!chosen)
        CommandLineError("ERROR: Invalid filename specified after -f [RETURN CODE:0x%02x]", RC_COMMAND_LINE);

    // A later -f replaces the family of an earlier one completely.
    std::snprintf(ImageFileName, sizeof(ImageFileName), "%s", chosen->family_text);
    ChipIDshouldbe = chosen->chip_id;

    if (!std::strstr(BinFilename, ".bin"))
        CommandLineError("ERROR: Invalid file type [RETURN CODE:0x%02x]", RC_COMMAND_LINE);
}

namespace {

// Reads the image into FirmwareImage, up to the largest size, counting the
// bytes in `*loaded`; false on a read error (said).
bool ReadImageBytes(FILE* image_file, bool* at_end, int* loaded)
{
    int& i = *loaded;
    while (i < FIRMWARE_IMAGE_SIZE) {
        int byte_read = std::fgetc(image_file);
        if (!CMDL_QuietMode)
            ShowLoadingProgress(FileImageSize, byte_read);
        if (byte_read == EOF) {
            int cause = errno;
            FlushLoadingProgress();
            // A read error is no end of the file: an image cut short must
            // never reach a controller.
            if (std::ferror(image_file)) {
                pb("\nERROR: Can't read file %s: %s [RETURN CODE:0x%02x]", BinFilename, std::strerror(cause),
                   RC_IMAGE_FILE);
                return false;
            }
            pb("\nEOF reached. Loaded %d (0x%04x) bytes", FileImageSize, FileImageSize);
            *at_end = true;
            break;
        }
        FirmwareImage[i] = static_cast<INT8U>(byte_read);
        FileImageSize++;
        i++;
    }
    FlushLoadingProgress();
    return true;
}

// The image the operator pinned by its digest, or none: nothing of another
// file may reach a controller. False when the file is not the one (said).
bool CheckImageDigest(FILE* image_file, bool at_end)
{
    int cause = 0;
    if (!DigestWholeFile(image_file, at_end))
        cause = errno ? errno : EIO;
    NoteImageDigest(ImageSha256);
    if (ExpectedImageSha256[0] && cause) {
        pb("\nERROR: Can't read file %s: %s [RETURN CODE:0x%02x]", BinFilename, std::strerror(cause), RC_IMAGE_FILE);
        return false;
    }
    if (ExpectedImageSha256[0] && std::strcmp(ImageSha256, ExpectedImageSha256) != 0) {
        pb("\nERROR: Image file %s has SHA-256 %s, expected %s [RETURN CODE:0x%02x]", BinFilename, ImageSha256,
           ExpectedImageSha256, RC_IMAGE_FILE);
        return false;
    }
    // The file is read anew in every pass: under --strict every BMC gets
    // the bytes the first one got, or none.
    if (CMDL_Strict && FirstPassSha256[0] && std::strcmp(ImageSha256, FirstPassSha256) != 0) {
        pb("\nERROR: Image file %s changed between passes: SHA-256 %s, the first pass loaded %s "
           "[RETURN CODE:0x%02x]",
           BinFilename, ImageSha256[0] ? ImageSha256 : "(unreadable)", FirstPassSha256, RC_IMAGE_FILE);
        return false;
    }
    if (!FirstPassSha256[0])
        std::memcpy(FirstPassSha256, ImageSha256, sizeof FirstPassSha256);
    return true;
}

}  // namespace

int LoadFirmwareImage()
{
    pb("\nOpening image file: %s", BinFilename);
    const char* not_loadable = nullptr;
    FILE* image_file = OpenRegularFile(BinFilename, O_RDONLY, "rb", &not_loadable);
    if (!image_file) {
        if (not_loadable)
            pb("ERROR: Can't read file %s: %s [RETURN CODE:0x%02x]", BinFilename, not_loadable, RC_IMAGE_FILE);
        else
            pb("ERROR: Can't open file %s [RETURN CODE:0x%02x]", BinFilename, RC_IMAGE_FILE);
        return FailLoading(nullptr);
    }
    pf("File %s opened\n", BinFilename);
    pb("Loading Firmware up to max 0x%04x (%d) bytes...", FIRMWARE_IMAGE_SIZE, FIRMWARE_IMAGE_SIZE);

    // The run flow empties the image at the start of every pass; the buffer
    // is refilled from index 0 with the same file.
    FileImageSize = 0;
    ImageSha256[0] = '\0';
    bool at_end = false;
    int i = 0;
    if (!ReadImageBytes(image_file, &at_end, &i))
        return FailLoading(image_file);
    if ((ReportFilename[0] || ExpectedImageSha256[0] || CMDL_Strict) && !CheckImageDigest(image_file, at_end))
        return FailLoading(image_file);

    const ChipFamily* family = FamilyNamed(ImageFileName);
    if (family && FileImageSize > family->max_image_size) {
        pb("\nERROR: Invalid file size for QB%s in file %s [RETURN CODE:0x%02x]", ImageFileName, BinFilename,
           RC_IMAGE_FILE);
        return FailLoading(image_file);
    }

    // The "%04 " of this line is not a conversion: it is shown as it stands.
    pb("Finished loading firmware. i:0x%%04 (%d) bytes", i);
    pb("Firmware binary loaded is FW:[0x%02x:0x%02x]\n", FirmwareImage[IMAGE_VERSION_OFFSET],
       FirmwareImage[IMAGE_VERSION_OFFSET + 1]);
    std::fclose(image_file);
    CaptureImageLoaded(FirmwareImage, FileImageSize);
    pf("Entering Scan and Upgrade on all mode...\n");
    return 0;
}
