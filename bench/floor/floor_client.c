/* floor-client: the least one run of the CGI program can cost for an empty GET request.
 *
 * A C program on one thread, with no C++ runtime: it connects to the receiver service on
 * 127.0.0.1:19996 with a blocking socket, sends the 40-byte GetNonLocalSenderList frame
 * twice, each time reading the whole answer (frame start, list header, entries) before
 * going on, and writes the same reply as the program, byte for byte, flushed line by line
 * like the program's. No engine, no form parsing (an empty request has no variables).
 * Exit codes follow the program: -10 when the connection fails, 0 otherwise. A list answer
 * that cannot be read leaves the list as it was, like the program.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum {
    kServicePort = 19996,
    kNoConnection = -10,
    kRequestCode = 0x1A, /* GetNonLocalSenderList; the answer is code + 1 */
    kPrefixSize = 7,
    kPayloadSize = 32,
    kListHeaderSize = 32,
    kBasicEntrySize = 64,
    kExtendedEntrySize = 128,
    kNameSize = 48,
    kNoFrame = 0x80,
    kSocketTimeoutSec = 10,
};

struct Sender {
    uint32_t id;
    uint32_t ip; /* as sent, handed to inet_ntoa unchanged */
    char name[kNameSize + 1];
    uint32_t playing;
    uint8_t frame;
    uint32_t appType;
};

struct SenderList {
    struct Sender* items;
    size_t count;
};

static uint32_t Load32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static uint32_t Load16(const uint8_t* p) {
    return ((uint32_t)p[0] << 8) | p[1];
}

static int WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return 0;
        }
        data += sent;
        length -= (size_t)sent;
    }
    return 1;
}

static int ReadAll(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t got = recv(fd, data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        data += got;
        length -= (size_t)got;
    }
    return 1;
}

/* Overwrites the record's fields from one entry; a basic entry keeps the application type. */
static void DecodeEntry(struct Sender* s, const uint8_t* entry, int extended) {
    s->id = Load32(entry);
    s->ip = Load32(entry + 4);
    memcpy(s->name, entry + 8, kNameSize);
    s->name[kNameSize] = '\0';
    s->playing = Load16(entry + 56);
    s->frame = entry[58];
    if (extended) {
        s->appType = Load16(entry + 61);
    }
}

/* One round trip; changes the list only when the whole answer arrived. */
static int FetchList(int fd, struct SenderList* list) {
    uint8_t request[kPrefixSize + 1 + kPayloadSize] = {0};
    memcpy(request, "RecvIPC", kPrefixSize);
    request[kPrefixSize] = kRequestCode;
    request[kPrefixSize + 1] = 1;
    if (!WriteAll(fd, request, sizeof request)) {
        return 0;
    }
    uint8_t start[kPrefixSize + 1];
    uint8_t header[kListHeaderSize];
    if (!ReadAll(fd, start, sizeof start) || memcmp(start, "RecvIPC", kPrefixSize) != 0 ||
        start[kPrefixSize] != kRequestCode + 1 || !ReadAll(fd, header, sizeof header)) {
        return 0;
    }
    const size_t count = Load16(header);
    const int extended = header[2] != 0;
    const size_t entrySize = extended ? kExtendedEntrySize : kBasicEntrySize;
    uint8_t* entries = malloc(count * entrySize + 1);
    struct Sender* items = realloc(list->items, (count + 1) * sizeof *items);
    if (items) {
        list->items = items;
    }
    if (!entries || !items || !ReadAll(fd, entries, count * entrySize)) {
        free(entries);
        return 0;
    }
    for (size_t i = list->count; i < count; ++i) {
        memset(&items[i], 0, sizeof items[i]);
        items[i].frame = kNoFrame;
    }
    for (size_t i = 0; i < count; ++i) {
        DecodeEntry(&items[i], entries + i * entrySize, extended);
    }
    list->count = count;
    free(entries);
    return 1;
}

/* One line of the reply, flushed at once like every line of the program's reply. */
static void Line(const char* text) {
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

static void WriteSenders(const struct SenderList* list) {
    char line[512];
    snprintf(line, sizeof line, "<total>%zu</total>", list->count);
    Line(line);
    for (size_t i = 0; i < list->count; ++i) {
        const struct Sender* s = &list->items[i];
        Line("<conference>");
        char* out = line + sprintf(line, "<username>");
        for (const char* c = s->name; *c; ++c) {
            const char* word = NULL;
            switch (*c) {
            case '&':
                word = "Pa_Amp";
                break;
            case ';':
                word = "Pa_Note";
                break;
            case '%':
                word = "Pa_Percent";
                break;
            case '<':
                word = "Pa_Lt";
                break;
            case '>':
                word = "Pa_Gt";
                break;
            case '+':
                word = "Pa_Add";
                break;
            }
            out = word ? stpcpy(out, word) : (*out = *c, out + 1);
        }
        strcpy(out, "</username>");
        Line(line);
        const int frame = s->playing == 0 ? -1 : s->frame == kNoFrame ? 0 : s->frame;
        snprintf(line, sizeof line, "<frame>%d</frame>", frame);
        Line(line);
        struct in_addr address = {.s_addr = s->ip};
        snprintf(line, sizeof line, "<ip>%s</ip>", inet_ntoa(address));
        Line(line);
        snprintf(line, sizeof line, "<apptype>%d</apptype>", (int32_t)s->appType);
        Line(line);
        Line("</conference>");
    }
    Line("</return>");
}

int main(void) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return kNoConnection;
    }
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(kServicePort)};
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(fd, (const struct sockaddr*)&address, sizeof address) != 0) {
        close(fd);
        return kNoConnection;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const struct timeval timeout = {kSocketTimeoutSec, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    Line("Content-Type: text/xml");
    Line("");
    Line("<return>");
    struct SenderList list = {NULL, 0};
    FetchList(fd, &list);
    /* An empty GET request has no variables, hence no actions between the two lists. */
    FetchList(fd, &list);
    WriteSenders(&list);
    free(list.items);
    close(fd);
    return 0;
}
