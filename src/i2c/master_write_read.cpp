// SPDX-License-Identifier: MIT
// One I2C transfer on a bus as it stands: a Master Write-Read request
// carried by the exchange, with the completion code judged here and
// transient bus trouble retried.
#include "master_write_read.h"

#include <cstring>

#include "../bmc/exchange.h"
#include "../logfile/logfile.h"

#define READ_REQUEST_SIZE 10
#define WRITE_REQUEST_SIZE (MWR_HEADER + MWR_MAX_WRITE)
#define RESPONSE_SIZE 128
#define RETRIES 3

INT8U I2C_LastCompletionCode = 0;
INT8U I2C_LastRequestSent = 0;
INT8U I2C_LastAnswerLost = 0;

enum CompletionAction { CC_RETRY, CC_FAIL };

struct CompletionCode {
    INT8U code;
    CompletionAction action;
    const char* log_line;
};

// Completion codes the tool knows. Any other non-zero code is retried like a
// bus error, with its own console lines.
static constexpr CompletionCode kCompletionCodes[] = {
    {0xCC, CC_FAIL, "\nInvalid Data Field (0xcc)"},
    {0x81, CC_RETRY, "\nLost Arbitration (0x81)"},
    {0x82, CC_RETRY, "\nBus Error (0x82)"},
    {0x83, CC_RETRY, "\nSMBus NACK (0x83)"},
    {0x84, CC_RETRY, "\nTruncated Read (0x84)"},
    {0xC0, CC_RETRY, "\nBus Hardware Error, possible clock stuck low. (Responce:0xc0)"},
    {0xFF, CC_RETRY, "\nBus Hardware Error, possible clock stuck low. (Responce:0xff)"},
};

enum Transfer { TRANSFER_READ, TRANSFER_WRITE };

// The log lines for an exchange that got no response at all.
static void log_no_response(Transfer kind, const INT8U* request, INT8U num_bytes, int retries_left)
{
    pf("Kcs_Read_After_Write Returned 0. Retry %d\n", retries_left);
    pf(kind == TRANSFER_READ ? "\nFunction: i2c_master_read\n" : "\nFunction: i2c_master_write\n");
    pf("No response\nSent Cmd Buffer: ");
    for (int i = 0; i < MWR_HEADER; i++)
        pf("[%02X] ", request[i]);
    pf("\nSent Data (%d) bytes", num_bytes);
    if (kind == TRANSFER_WRITE)
        for (int i = 0; i < num_bytes; i++)
            pf("[%02X] ", request[MWR_HEADER + i]);
}

static const CompletionCode* find_completion_code(INT8U code)
{
    for (const CompletionCode& c : kCompletionCodes)
        if (c.code == code)
            return &c;
    return nullptr;
}

// Sends the request until it gets a final answer. Returns the response length
// with completion code 0, or 0 on any failure.
static int transfer(Transfer kind, INT8U* request, INT16U request_length, INT8U num_bytes, INT8U* response,
                    bool redone_by_caller)
{
    int retry_Kcs_Read_After_Write = RETRIES;
    int retry_NACK = RETRIES;
    INT8U length = 0;

    for (;;) {
        I2C_LastRequestSent = 1;
        if (!Kcs_Read_After_Write(request, request_length, response, &length)) {
            if (kind == TRANSFER_READ && redone_by_caller && ExchangeAnswerLost) {
                pf("LAN: the answer to a read of %d bytes at 0x%02x on BusID 0x%02x was lost: what the read belongs "
                   "to is redone",
                   num_bytes, request[3], request[2]);
                I2C_LastAnswerLost = 1;
                return 0;
            }
            log_no_response(kind, request, num_bytes, retry_Kcs_Read_After_Write);
            retry_Kcs_Read_After_Write--;
            if (retry_Kcs_Read_After_Write == 0) {
                pf("\t[BMC retries of %d exceeded]\n", RETRIES);
                return 0;
            }
            pf("\t[BMC retry countdown %d]\n", retry_Kcs_Read_After_Write);
            continue;
        }

        if (length < 3) {
            // Nothing to judge: a BMC that answers without a completion code
            // is not going to do better on a second try.
            pf("Response without completion code (%d bytes)", length);
            return 0;
        }
        INT8U code = response[2];
        I2C_LastCompletionCode = code;
        if (code == 0x00)
            return length;

        const CompletionCode* known = find_completion_code(code);
        if (known) {
            pf("%s", known->log_line);
            if (known->action == CC_FAIL)
                return 0;
        } else {
            if (kind == TRANSFER_READ)
                pb("\nUNHANDELED COMMAND RESPONCE: [%02x]", code);
            else
                pb("\nUNHANDELED COMMAND RESPONCE:[%02x] BusID:%02x I2Cadr:%02x", code, request[2],
                   request[3] >> 1);
            pb("\nANY KEY");
        }
        retry_NACK--;
        if (retry_NACK == 0) {
            pf("Retry Count Exceeded");
            return 0;
        }
        pf("Retry countdown: %d", retry_NACK);
    }
}

// NetFn, command, bus byte, 8-bit address and the count of bytes to read.
static void PutMasterWriteReadHeader(INT8U* request, INT8U bus, INT8U i2c_addr, INT8U read_count)
{
    request[0] = NETFN_APP_LUN0;
    request[1] = CMD_MASTER_WRITE_READ;
    request[2] = bus;
    request[3] = static_cast<INT8U>(i2c_addr << 1);
    request[4] = read_count;
}

int mwr_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char bus, bool redone_by_caller)
{
    INT8U request[READ_REQUEST_SIZE];
    INT8U response[RESPONSE_SIZE];

    I2C_LastCompletionCode = 0;
    I2C_LastRequestSent = 0;
    I2C_LastAnswerLost = 0;
    PutMasterWriteReadHeader(request, bus, i2c_addr, num_bytes);
    int length = transfer(TRANSFER_READ, request, MWR_HEADER, num_bytes, response, redone_by_caller);
    if (length == 0)
        return 0;
    if (length != num_bytes + 3) {
        pb("Error: Length of response data\n");
        pb("Response length is unequal to %d\n", num_bytes + 3);
        pb("Response[Len%d]\n Response buffer:", length);
        for (int i = 0; i < length; i++)
            pf("[%02X] ", response[i]);
        pb("\n");
        return 0;
    }
    memcpy(p_rbuf, response + 3, num_bytes);
    return num_bytes;
}

int mwr_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char bus)
{
    INT8U request[WRITE_REQUEST_SIZE];
    INT8U response[RESPONSE_SIZE];

    I2C_LastCompletionCode = 0;
    I2C_LastRequestSent = 0;
    if (num_bytes > MWR_MAX_WRITE)
        return 0;  // no room in the request; no caller writes more than a few bytes
    PutMasterWriteReadHeader(request, bus, i2c_addr, 0);
    memcpy(request + MWR_HEADER, p_wbuf, num_bytes);
    if (transfer(TRANSFER_WRITE, request, static_cast<INT16U>(MWR_HEADER + num_bytes), num_bytes, response, false) == 0)
        return 0;
    return num_bytes;
}
