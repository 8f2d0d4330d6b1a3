#include "XmlReplyWriter.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>

void XmlReplyWriter::WriteLine(const std::string& line) {
    // Write errors are ignored: the reply has no other channel to report them on.
    std::fwrite(line.data(), 1, line.size(), m_pOut);
    std::fputc('\n', m_pOut);
    std::fflush(m_pOut);
}

void XmlReplyWriter::WriteHeader() {
    WriteLine("Content-Type: text/xml");
    WriteLine("");
    WriteLine("<return>");
}

void XmlReplyWriter::WriteSenderList(const std::vector<SenderRecord>& senders) {
    WriteLine("<total>" + std::to_string(senders.size()) + "</total>");
    for (const SenderRecord& record : senders) {
        in_addr address;
        address.s_addr = record.ipAddress();
        WriteLine("<conference>");
        WriteLine("<username>" + EscapeUserName(record.userName()) + "</username>");
        WriteLine("<frame>" + std::to_string(DisplayedFrame(record)) + "</frame>");
        WriteLine(std::string("<ip>") + inet_ntoa(address) + "</ip>");
        WriteLine("<apptype>" + std::to_string(int32_t(record.appType())) + "</apptype>");
        WriteLine("</conference>");
    }
    WriteLine("</return>");
}

std::string XmlReplyWriter::EscapeUserName(const std::string& name) {
    // None of the words contains one of the six characters, so one pass gives the same
    // result as replacing occurrence by occurrence until none is left.
    std::string escaped;
    escaped.reserve(name.size());
    for (char c : name) {
        switch (c) {
        case '&':
            escaped += "Pa_Amp";
            break;
        case ';':
            escaped += "Pa_Note";
            break;
        case '%':
            escaped += "Pa_Percent";
            break;
        case '<':
            escaped += "Pa_Lt";
            break;
        case '>':
            escaped += "Pa_Gt";
            break;
        case '+':
            escaped += "Pa_Add";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

int XmlReplyWriter::DisplayedFrame(const SenderRecord& record) {
    if (record.playing() == 0) {
        return -1;
    }
    return record.frameNo() == SenderRecord::kNoFrame ? 0 : record.frameNo();
}
