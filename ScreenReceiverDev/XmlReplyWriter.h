// XmlReplyWriter: writes the program's reply, the CGI header and the XML sender list.
//
// Every line ends with a single line feed and is flushed at once, so that text written
// to the same stream by others (the form parser's error block) follows in order.
// Does not own the stream; no locking (used on the main thread only).
#pragma once

#include "SenderRecord.h"

#include <cstdio>
#include <string>
#include <vector>

class XmlReplyWriter {
public:
    explicit XmlReplyWriter(FILE* out) : m_pOut(out) {}

    // "Content-Type: text/xml", an empty line and "<return>".
    void WriteHeader();
    // "<total>", one <conference> block per record, then "</return>".
    void WriteSenderList(const std::vector<SenderRecord>& senders);

    // Replaces & ; % < > + by fixed words; every other byte stays as it is.
    static std::string EscapeUserName(const std::string& name);
    // The frame shown for a record: -1 while not playing; the receiver's 0x80 (no frame
    // number) is shown as 0.
    static int DisplayedFrame(const SenderRecord& record);

private:
    void WriteLine(const std::string& line);

    FILE* m_pOut;
};
