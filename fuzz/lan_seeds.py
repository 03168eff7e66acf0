#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the lan harness's seeds (fuzz/corpus/lan): inputs that take the
# tool through the session's set-up as lan_bmc.h and fuzz_machine.cpp read
# their bytes, so that the fuzzer starts inside the session rather than
# having to find each step. Run from the repository's root:
#     fuzz/lan_seeds.py fuzz/corpus/lan
import pathlib
import sys

# The harness's option bits (lan_fuzzer.cpp).
(CIPHER_3, CIPHER_17, OPERATOR, KG, SECOND_BMC, RETRIES_1, TIMEOUT_10, PASSWORD_FILE, CAPTURE,
 METRICS) = (1 << n for n in range(10))
# Suites 17 and 3 as Get Channel Cipher Suites lists them.
SUITES_17_3 = bytes([0xC0, 17, 0x03, 0x44, 0x81, 0xC0, 3, 0x01, 0x41, 0x81])


class Input:
    def __init__(self, tool_options=0, choice=0, harness_options=PASSWORD_FILE):
        self.bytes = bytearray([tool_options & 0xFF, tool_options >> 8, choice, harness_options & 0xFF,
                                harness_options >> 8, 0])  # clock: an ordinary date
        self.pool = 0  # random bytes the tool has left from its last getrandom

    def reach(self):  # resolve (IPv4), socket, connect
        self.bytes += bytes([0, 0, 0])
        return self

    def random(self, count):  # what the tool takes from its pool, getrandom called when it is empty
        while count:
            if self.pool == 0:
                self.bytes += bytes([0x07]) + bytes((n * 37 + 11) & 0xFF for n in range(128))
                self.pool = 128
            take = min(count, self.pool)
            self.pool -= take
            count -= take
        return self

    def send(self):
        self.bytes.append(0)
        return self

    def answer(self, *fields, shape=0):  # the BMC's well-formed answer, its fields from the input
        self.bytes.append(shape)
        for f in fields:
            self.bytes += bytes(f) if not isinstance(f, int) else bytes([f])
        return self

    def ipmi(self, data, shape=0):  # completion code 0 and `data` (a length byte first)
        return self.answer(len(data), data, shape=shape)

    def raw(self, datagram):
        self.bytes += bytes([0xC0, len(datagram) & 0xFF, len(datagram) >> 8]) + bytes(datagram)
        return self

    def setup(self, pages=(SUITES_17_3,), rakp2_shape=0, rakp4_shape=None):
        """Capabilities, cipher suites a page at a time, Open Session, RAKP 1 to 4, Set Session
        Privilege Level. RAKP 2's shape 0x20 starts the BMC's sequence numbers just before they
        wrap; 0x90 gives a key exchange code of the wrong password, and the set-up ends there.
        RAKP 4's shape 0x90 seals it in the session."""
        self.reach()
        self.send().ipmi([0x01, 0x80, 0x00, 0x02, 0, 0, 0, 0])  # RMCP+ on channel 1
        for page in pages:
            self.send().ipmi([0x01] + list(page))
        self.random(4)  # the console's session ID
        self.send().answer([0x44, 0x33, 0x22, 0x11])  # the BMC's session ID
        self.random(16).send().answer(bytes(range(16)), bytes(range(0x40, 0x50)), shape=rakp2_shape)  # Rc, GUID
        if rakp2_shape == 0x90:
            return self.answer_bytes(bytes(32)).send()  # the wrong code; RAKP 3 says so
        if rakp4_shape is None:
            self.send().answer()  # RAKP 4 as the keys give it
        else:
            self.send().answer(0x00, 0x00, shape=rakp4_shape)  # status 0, the next sequence number
        return self.request([0x04])  # Set Session Privilege Level

    def answer_bytes(self, data):
        self.bytes += data
        return self

    def request(self, data, sequence=None, shape=0):
        """One request inside the session and its answer; `sequence`: a byte choosing its sequence number."""
        self.random(16).send().ipmi(data, shape=shape)
        self.bytes.append(0 if sequence is None else sequence)
        return self


def seeds():
    # The session set up, then nothing more answers: requests sent again,
    # the session opened anew, the BMC lost, Close Session.
    yield "session_then_silence", Input(harness_options=PASSWORD_FILE | CAPTURE | METRICS).setup()
    # Suite 3 asked for, operator, K_G, two BMCs, short waits.
    yield "suite3_kg_operator", Input(harness_options=CIPHER_3 | OPERATOR | KG | SECOND_BMC | RETRIES_1 | TIMEOUT_10).setup()
    # A BMC that lists no suite 17: the default takes 3.
    yield "only_suite3", Input(harness_options=0).setup(pages=(SUITES_17_3[5:],))
    # Suites over two pages (a full one of 16 bytes, then the rest), and a
    # BMC whose key exchange code is not the password's.
    full_page = SUITES_17_3 + bytes([0xC0, 0x01, 0x01, 0x40, 0x80, 0x00])
    yield "two_pages_wrong_password", Input().setup(pages=(full_page, bytes([0xC0, 0x02, 0x01, 0x41])), rakp2_shape=0x90)
    # Pages of 60 bytes, longer than a page holds: the list is full within the 18th.
    long_page = bytes([0xC0, 0x03, 0x01, 0x41, 0x81]) * 12
    yield "long_pages", Input().setup(pages=(long_page,) * 18)
    # RAKP 4 sealed in the session, as a BMC answers RAKP 3 sent again.
    yield "rakp4_in_session", Input().setup(rakp4_shape=0x90)
    # The scan's first requests answered with zeros, one with a stray
    # datagram and an answer from outside the window before it.
    scan = Input(tool_options=0x0040).setup()  # -b11: one bus
    for _ in range(6):
        scan.random(16).send().raw(b"\x06\x00\xff\x07\x06\x00").ipmi([0, 0, 0, 0]).bytes.append(0)
    scan.random(16).send().ipmi([1, 2, 3]).bytes.append(0xFF)  # a sequence number behind: dropped
    yield "scan_answers", scan
    # Nothing answers IPMI, the presence ping does: IPMI over LAN disabled.
    lan_off = Input().reach()
    for _ in range(5):  # each sending: nothing, the wait runs out, still nothing
        lan_off.send().bytes += bytes([0xF0, 0xE0, 0xF0])
    yield "ping_only", lan_off.send().answer(bytes(16))
    # The BMC's sequence numbers wrap inside the session.
    wrap = Input(tool_options=0x0040).setup(rakp2_shape=0x20)
    for _ in range(20):
        wrap.random(16).send().ipmi([0, 0]).bytes.append(0)
    yield "sequence_wrap", wrap


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus/lan")
    out.mkdir(parents=True, exist_ok=True)
    for name, seed in seeds():
        (out / name).write_bytes(bytes(seed.bytes))


if __name__ == "__main__":
    main()
