// The "$QRX," record frame of the remote protocol, shared by the Bluetooth library and the wired
// link: head "$QRX,", body (code, then each field followed by ","), two upper-case hexadecimal digits
// of the 8-bit body sum, CR LF. Plain functions over caller buffers: no threads, no allocation.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qrxframe {

constexpr char kHead[] = "$QRX,";
constexpr size_t kHeadLength = 5;
// "$QRX,B7,A5\r\n": the shortest request line.
constexpr size_t kMinLine = 12;
// A pending line never grows past this; the byte that would exceed it drops the line.
constexpr size_t kMaxLine = 2048;
// An outgoing frame is built in this many bytes: head, body, two digits, CR LF and a terminator.
constexpr size_t kFrameBuffer = 512;
constexpr size_t kMaxBody = kFrameBuffer - kHeadLength - 5;  // 502
// A request field holds at most this many characters (plus its terminator).
constexpr size_t kMaxField = 99;

constexpr int kErrorChecksum = 501;
constexpr int kErrorCode = 502;

constexpr unsigned kFirstMessage = 1125;  // B0; a request's message is kFirstMessage + k

// 8-bit sum of the bytes.
uint8_t Sum(const uint8_t* bytes, size_t length);

// "$QRX,<body><sum>\r\n" into out (terminated); its length, or 0 (nothing written) for an empty body,
// a body over kMaxBody or an out of fewer than length + 1 bytes.
size_t FormatFrame(const char* body, size_t bodyLength, char* out, size_t outSize);
// The error record "ER,%03d," framed; 0 for a code outside 0..999.
size_t FormatError(int code, char* out, size_t outSize);

// The message of a record code (capital letter and digit), or 0 for a code without one.
unsigned MessageOfCode(char letter, char digit);

// How a request's wParam is made.
enum class Param { None, Char, Field, Link };

// Differences between the two links' parsers.
struct Rules {
    // A line under kMinLine bytes or without the head: true answers 502, false drops it silently.
    bool answerBadHead = false;
    // wParam of B3: 1 for the Bluetooth link, 0 for the wired one.
    uintptr_t linkParam = 1;
    // A text field without its closing comma: true answers 502, false sends the request with it empty.
    bool fieldNeedsComma = false;
    // D0..D4 from the attached unit come out as Outcome::Unit; otherwise they are unknown codes.
    bool unitReplies = false;
};

enum class Outcome {
    Dropped,  // nothing to send, no reply
    Error,    // error record `error` to send
    Request,  // message `message` with wParam `param` to send
    Unit,     // reply `unit` (0..4) of the attached unit, checksum good; its fields are in the line
};

struct Request {
    Outcome outcome = Outcome::Dropped;
    int error = 0;
    unsigned message = 0;
    Param kind = Param::None;
    uintptr_t param = 0;  // a character, or 0/1; for Param::Field the caller passes `field`
    int unit = -1;
    char field[kMaxField + 1] = {};
    // On a checksum error: the received and the computed sum (received -1 when not hexadecimal).
    int sumReceived = -1;
    int sumComputed = 0;
};

// Checks one line (LF included, NUL bytes allowed: `length` counts) and cuts its field.
// `streaming`: remote streaming is on, so a B0 request is dropped.
void ParseLine(const uint8_t* line, size_t length, bool streaming, const Rules& rules, Request& out);

// Cuts a byte stream into lines at LF, none longer than kMaxLine. Bluetooth: a byte that finds
// kMaxLine bytes pending drops them and itself. Wired (resyncAtHead): every line starts at a "$"
// (bytes before it are dropped), and an overlong one is dropped up to the next "$".
class LineCutter {
public:
    explicit LineCutter(bool resyncAtHead = false) : m_resync(resyncAtHead), m_skipping(resyncAtHead) {}
    // True when `b` completed a line: Line()/Length() hold it until the next Push.
    bool Push(uint8_t b);
    const uint8_t* Line() const { return m_line; }
    size_t Length() const { return m_done; }
    void Reset() {
        m_index = 0;
        m_done = 0;
        m_skipping = m_resync;
    }

private:
    bool m_resync;
    bool m_skipping = false;
    size_t m_index = 0;
    size_t m_done = 0;
    uint8_t m_line[kMaxLine];
};

}  // namespace qrxframe
