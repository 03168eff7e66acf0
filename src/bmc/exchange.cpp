// SPDX-License-Identifier: MIT
// The one request/response exchange with the BMC, on the road the pass
// opened it on (road.h), with the optional verbose dump of both messages
// into the log.
#include "exchange.h"

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../waits/safe_point.h"
#include "driver/driver_road.h"
#include "kcs/kcs_road.h"
#include "lan/lan_road.h"
#include "road.h"

INT8U ExchangeAnswerLost = 0;

// "<title>XX XX ...\n" straight into the log, formatted in a fixed buffer and
// written in pieces, so that a long message costs a few writes, not one per byte.
static void dump_message(const char* title, const INT8U* bytes, unsigned int length)
{
    static const char digits[] = "0123456789ABCDEF";
    char text[256];
    size_t used = 0;
    fputs(title, log_file);
    for (unsigned int i = 0; i < length; i++) {
        if (used + 3 > sizeof(text)) {
            fwrite(text, 1, used, log_file);
            used = 0;
        }
        text[used++] = digits[bytes[i] >> 4];
        text[used++] = digits[bytes[i] & 0x0F];
        text[used++] = ' ';
    }
    fwrite(text, 1, used, log_file);
    fputc('\n', log_file);
    fflush(log_file);
}

INT8U Kcs_Read_After_Write(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    // Between two exchanges is where a signal can stop the run.
    SafePoint();
    if (CMDL_VerboseLog && log_file)
        dump_message("\nKCS Request: ", ptr, write_length);

    INT8U ok = 0;
    ExchangeAnswerLost = 0;
    switch (Road) {
    case ROAD_DRIVER:
        ok = DriverRoad_Exchange(ptr, write_length, recvptr, recv_buffer_length);
        break;
    case ROAD_KCS:
        ok = KcsRoad_Exchange(ptr, write_length, recvptr, recv_buffer_length);
        break;
    case ROAD_LAN:
        ok = LanRoad_Exchange(ptr, write_length, recvptr, recv_buffer_length);
        ExchangeAnswerLost = LanAnswerLost;
        break;
    }
    if (!ok)
        return 0;

    if (CMDL_VerboseLog && log_file)
        dump_message("KCS Response: ", recvptr, *recv_buffer_length);
    return 1;
}
