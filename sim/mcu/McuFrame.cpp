// The MCU wire frame, as the device's link writes and reads it.
#include "sim/McuSim.h"

namespace sim {
namespace {

void PutEscaped(std::vector<BYTE>& out, BYTE b) {
    if (b >= 0x80 && b <= 0x8F) {
        out.push_back(kFrameEscape);
        out.push_back(static_cast<BYTE>(b & 0x7F));
    } else {
        out.push_back(b);
    }
}

}  // namespace

BYTE FrameChecksum(const BYTE* payload, size_t length) {
    unsigned sum = kFrameStart + kFrameEnd;
    for (size_t i = 0; i < length; ++i) sum += payload[i];
    return static_cast<BYTE>(0x100 - (sum & 0xFF));
}

void AppendFrame(std::vector<BYTE>& out, const BYTE* payload, size_t length) {
    out.push_back(kFrameStart);
    for (size_t i = 0; i < length; ++i) PutEscaped(out, payload[i]);
    PutEscaped(out, FrameChecksum(payload, length));
    out.push_back(kFrameEnd);
}

std::vector<BYTE> EncodeFrame(const BYTE* payload, size_t length) {
    std::vector<BYTE> out;
    out.reserve(length * 2 + 4);
    AppendFrame(out, payload, length);
    return out;
}

void FrameDecoder::Reset() {
    m_inFrame = false;
    m_overflow = false;
    m_raw.clear();
    m_payload.clear();
    m_reason = "";
}

FrameDecoder::Result FrameDecoder::Push(BYTE b) {
    if (b == kFrameStart) {
        // A start byte is never escaped, so it always begins a new frame.
        m_raw.assign(1, b);
        m_inFrame = true;
        m_overflow = false;
        return Result::None;
    }
    if (!m_inFrame) return Result::None;
    m_raw.push_back(b);
    if (m_raw.size() > kMaxFrameBytes) {
        m_inFrame = false;
        m_reason = "frame too long";
        return Result::Bad;
    }
    if (b != kFrameEnd) return Result::None;

    m_inFrame = false;
    m_payload.clear();
    const size_t last = m_raw.size() - 1;
    for (size_t i = 1; i < last; ++i) {
        BYTE c = m_raw[i];
        if (c == kFrameEscape) {
            if (i + 1 >= last) {
                m_reason = "escape before the end byte";
                return Result::Bad;
            }
            c = static_cast<BYTE>(m_raw[++i] | 0x80);
        }
        m_payload.push_back(c);
    }
    if (m_payload.empty()) {
        m_reason = "empty frame";
        return Result::Bad;
    }
    unsigned sum = 0x03;
    for (BYTE c : m_payload) sum += c;
    if ((sum & 0xFF) != 0) {
        m_reason = "bad checksum";
        return Result::Bad;
    }
    m_payload.pop_back();
    if (m_payload.empty()) {
        m_reason = "no payload";
        return Result::Bad;
    }
    return Result::Frame;
}

const std::vector<BYTE>& McuDirect::Exchange(const BYTE* bytes, size_t length) {
    m_reply.clear();
    for (size_t i = 0; i < length; ++i) {
        if (m_decoder.Push(bytes[i]) != FrameDecoder::Result::Frame) continue;
        const std::vector<BYTE>& request = m_decoder.Payload();
        if (request.size() >= 3 && request[0] == 0x02 && request[1] == 0x02 && request[2] == 0x00) m_model.Advance(1);
        if (m_model.Handle(request, m_answer, m_what) != McuModel::Handled::Reply) continue;
        AppendFrame(m_reply, m_answer.data(), m_answer.size());
    }
    return m_reply;
}

}  // namespace sim
