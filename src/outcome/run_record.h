// SPDX-License-Identifier: MIT
// The record of one run that the outcome report (--report) is made from.
// The run's recorder (outcome.cpp) fills it as the run goes; the report's
// encoder (report_json.cpp) and the metrics' (metrics_text.cpp) read nothing else. Plain data with
// fixed sizes, like the rest of the tool.
#pragma once

#include <ctime>

#include "../common/types.h"

// What the upgrade did to one controller. The failures come last, so that
// one comparison tells them apart from the rest.
enum ControllerUpgrade : INT8U {
    UPGRADE_NONE,  // never reached by an upgrade
    UPGRADE_SAME_VERSION,
    UPGRADE_UPGRADED,
    UPGRADE_FAILED,
    UPGRADE_ABORTED,
    UPGRADE_VERSION_MISMATCH,
    UPGRADE_NOT_RECORDED,
};

// What --plan says the upgrade would do to one controller.
enum PlannedUpgrade : INT8U {
    PLAN_NONE,  // not a plan, or a chip the upgrade passes over
    PLAN_UPGRADE,
    PLAN_SAME_VERSION,
    PLAN_OTHER_FAMILY,  // the upgrade would end the run here with 5
    PLAN_NOT_REACHED,   // after a controller of another family
    PLAN_NOT_RECORDED,  // beyond the device table
};

// The step of a controller's programming that failed.
enum FlashStep : INT8U {
    STEP_NONE,
    STEP_READ_BEFORE,  // the running version, before anything is erased
    STEP_ERASE,
    STEP_WRITE,
    STEP_VERIFY,
    STEP_STATUS,      // the verification status (and the QB4083C upper checksum)
    STEP_DOWNCOPY,
    STEP_RESET_WAIT,  // until it answers after its reset (the QB4083C lower checksum)
    STEP_READ_BACK,   // the new version (and the QB4083C closing command)
};

#define RECORD_VERSION_BYTES 3
#define RECORD_ERROR_SIZE 192
// The device table's 16 and as many again that it could not hold.
#define RECORD_MAX_CONTROLLERS (2 * MAX_CHIPS)
#define RECORD_MAX_BMCS 4
#define RECORD_TEXT_SIZE 256

// What the last scan that found a controller read from it besides its
// version, for --metrics: the slot masks and the temperature registers.
enum ControllerReading : INT8U {
    READING_SLOTS_USED,    // register 0x36
    READING_SLOTS_MATED,   // register 0x38
    READING_TEMP,          // register 0x56
    READING_TEMP_AMBIENT,  // register 0x57
    READING_TEMP_THRESH,   // register 0x58
    READINGS,
};

// Which of a controller's other values its reads gave: a register whose read
// failed is unknown, never the 0xFF the device table keeps for it.
enum ControllerKnown : INT8U {
    KNOWN_BEFORE = 1,     // `before`: all three version registers
    KNOWN_LAST_SEEN = 2,  // `last_seen`
    KNOWN_REVISION = 4,   // ChipRev (register 0x64)
    KNOWN_CONFIG = 8,     // ConfigByte (register 0x30)
};

struct ControllerRecord {
    INT8U busID;
    INT8U i2c_addr;
    INT8U behind_mux;
    INT8U MUXaddress;
    INT8U ChannelNumber;
    INT8U ChipID;
    INT8U ChipRev;
    char ChipName[7];  // unterminated when all seven are used
    INT8U ConfigByte;
    INT8U before[RECORD_VERSION_BYTES];       // as the pass's first scan read it
    INT8U after[RECORD_VERSION_BYTES];        // read back after its last programming
    INT8U read_back;                          // `after` holds a version
    INT8U last_seen[RECORD_VERSION_BYTES];    // the last version read from it
    int last_scan;                            // the pass's scans run by then
    INT8U upgrade;                            // ControllerUpgrade
    INT8U planned;                            // PlannedUpgrade
    INT8U failed_step;                        // FlashStep of the failure `upgrade` names
    char error[RECORD_ERROR_SIZE];            // the line that told of it; "" for none
    time_t programming_started;               // 0: never programmed
    time_t programming_finished;
    INT8U reading[READINGS];                  // ControllerReading
    INT8U reading_known;                      // bit n: reading[n] was read
    INT8U known;                              // ControllerKnown: the rest was read, not guessed
};

// How the tool reached a BMC.
enum BmcInterface : INT8U {
    INTERFACE_NONE,  // the BMC did not open
    INTERFACE_DRIVER,
    INTERFACE_KCS,
    INTERFACE_LAN,  // also when it did not open: the reason is part of it
};

// A BMC of the network road.
struct LanRecord {
    char host[256];
    INT16U port;
    INT8U cipher_suite;  // 0: no session was had
    INT8U privilege;     // 3 operator, 4 administrator
    char user[17];
    char error[256];     // why no session was had, or why the BMC was lost; "" for none
};

struct BmcRecord {
    INT8U opened;
    char image_sha256[65];  // of the image file as this pass loaded it; "" when it loaded none
    INT8U interface;  // BmcInterface
    char device[32];  // the driver's device node
    INT16U data_port, status_port;  // the KCS port pair
    LanRecord lan;
    int scans;        // scans run in the pass
    int listed;
    ControllerRecord controllers[RECORD_MAX_CONTROLLERS];
};

// Where the image's family came from: the first key anywhere in its path,
// or (--strict, --plan) the key of its base name alone.
enum FamilyFrom : INT8U {
    FAMILY_FROM_PATH,
    FAMILY_FROM_BASE_NAME,
};

// The first pass's image stands for the run; each BMC's record names the
// bytes its own pass loaded.
struct ImageRecord {
    INT8U named;   // an image file was given
    INT8U loaded;  // it was loaded and accepted
    const char* file;
    const char* family;
    INT8U family_from;  // FamilyFrom
    INT16U size;
    INT8U version[RECORD_VERSION_BYTES];
    char sha256[65];           // of the whole file; "" when it was not read whole
    char sha256_expected[65];  // --image-sha256; "" without it
    signed char sha256_matched;  // 1, 0, or -1 when nothing was compared
    int passes_read;             // passes that read the file whole (and so have its digest)
    INT8U changed;               // a later pass read other bytes than the first
};

// A file of the run that could not be written completely.
struct LossRecord {
    INT8U lost;
    const char* path;
    const char* why;
};

// Who the machine is; "" for what cannot be read.
struct HostRecord {
    char name[RECORD_TEXT_SIZE];
    char product_serial[RECORD_TEXT_SIZE];
    char machine_id[RECORD_TEXT_SIZE];
};

struct RunRecord {
    INT8U complete;      // 0 while the run goes on: the report is also written at its start
    INT8U exit_known;    // exit_code holds the exit status
    int exit_code;
    const char* signal;  // the signal that ended the run, or null
    INT8U strict;
    INT8U plan;          // --plan: nothing was programmed; `planned` tells what would have been
    int argc;
    char** argv;
    HostRecord host;
    time_t started;
    time_t finished;
    ImageRecord image;
    LossRecord lost[4];  // the log, the report, the capture, the metrics (OutputKind)
    long long started_us;   // --metrics: the run's start and end, microseconds since the epoch
    long long finished_us;
    int bmcs_found;         // what BMC discovery counted
    int bmc_count;
    BmcRecord bmcs[RECORD_MAX_BMCS];
};
