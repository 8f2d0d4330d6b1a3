// counter_client: a client of a toy "counter" protocol, built on the LyxClient engine.
//
// The protocol: every frame is the prefix "CNTR", one code byte and a payload whose size
// the code decides.
//   0x01 ADD    client -> peer  4 bytes: amount (big-endian)
//   0x02 TOTAL  peer -> client  4 bytes: the new total, the answer to ADD
//   0x10 NOTE   peer -> client  1 byte n, then n bytes of text: an event, any time
//
// Who calls what, from which thread:
//   - main thread: constructs the client, Connect, Add (one request at a time), destroys;
//   - receive thread (the engine's, the only reader of the socket): the payload readers
//     ReadTotal and ReadNote. Each reads exactly its payload with m_Socket.Recv, because
//     the byte after it starts the next frame. A reader never issues a request or closes
//     the connection: the answer it would wait for can only be read by its own thread;
//   - dispatch thread (the engine's): the event handler OnNote, one event at a time, in
//     the order the events arrived. It may take its time: answers keep flowing meanwhile.
// Teardown: the destructor stops the engine's threads before the members they use go.
//
// Usage: counter_client PORT [AMOUNT...]   (the peer: counter_peer.py, same folder)
#include <ProtocolBase.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

class CounterClient : public ProtocolBase {
public:
    static constexpr uint8_t kAdd = 0x01, kTotal = 0x02, kNote = 0x10;

    CounterClient() {
        SetCmdPrefix("CNTR", 4);
        // A reader for each code that carries a payload; a handler makes NOTE an event.
        m_ReadHandlers[kTotal] = static_cast<ReadHandler>(&CounterClient::ReadTotal);
        m_ReadHandlers[kNote] = static_cast<ReadHandler>(&CounterClient::ReadNote);
        m_EventHandlers[kNote] = static_cast<EventHandler>(&CounterClient::OnNote);
    }

    ~CounterClient() override {
        // The engine's own destructor runs after this class's members and overrides are
        // gone; a reader or handler running then would use them. Stop the threads here.
        StopThreads();
    }

    // Main thread. 0 when connected (with a dispatch thread), else a negative code.
    int Connect(uint16_t port) { return OpenConnect("127.0.0.1", {port}, 0, 3); }

    // Main thread. Sends ADD and waits up to 5 s for TOTAL; 0 and *total, or a negative code.
    int Add(uint32_t amount, uint32_t* total) {
        const std::string payload{char(amount >> 24), char(amount >> 16), char(amount >> 8),
                                  char(amount)};
        const int rc = RequestCommand(kAdd, kTotal, "ADD", payload, false, 5);
        if (rc >= 0) {
            *total = m_Total; // written by ReadTotal before the engine woke this thread
        }
        return rc;
    }

    // Main thread. Waits until `count` notes have been handled (at most 5 s).
    bool WaitForNotes(size_t count) {
        std::unique_lock<std::mutex> lock(m_NotesLock);
        return m_NotesHandled.wait_for(lock, std::chrono::seconds(5),
                                       [&] { return m_Notes.size() >= count; });
    }

private:
    // Receive thread: TOTAL's 4 bytes. A short read (0 or -1) ends the connection.
    int ReadTotal(std::string& /*payload*/) {
        unsigned char b[4];
        const int got = m_Socket.Recv(reinterpret_cast<char*>(b), sizeof(b), 0);
        m_Total = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | b[2] << 8 | b[3];
        return got == int(sizeof(b)) ? got : 0;
    }

    // Receive thread: NOTE's length byte and text, handed to OnNote through `payload`.
    int ReadNote(std::string& payload) {
        unsigned char length = 0;
        if (m_Socket.Recv(reinterpret_cast<char*>(&length), 1, 0) != 1) {
            return 0;
        }
        payload.assign(length, '\0');
        if (length == 0) {
            return 1;
        }
        return m_Socket.Recv(&payload[0], length, 0) == length ? length : 0;
    }

    // Dispatch thread: one note, in arrival order.
    int OnNote(const char* text) {
        std::lock_guard<std::mutex> lock(m_NotesLock);
        m_Notes.push_back(text);
        std::printf("event %zu: %s\n", m_Notes.size(), text);
        m_NotesHandled.notify_all();
        return 0;
    }

    uint32_t m_Total = 0;
    std::mutex m_NotesLock; // guards m_Notes between the dispatch and main threads
    std::condition_variable m_NotesHandled;
    std::vector<std::string> m_Notes;
};

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: counter_client PORT [AMOUNT...]\n");
        return 2;
    }
    CounterClient client;
    if (client.Connect(uint16_t(std::atoi(argv[1]))) < 0) {
        std::fprintf(stderr, "counter_client: %s\n", client.GetErrorTextCopy().c_str());
        return 1;
    }
    std::vector<uint32_t> amounts{5, 10, 27};
    if (argc > 2) {
        amounts.clear();
        for (int i = 2; i < argc; ++i) {
            amounts.push_back(uint32_t(std::strtoul(argv[i], nullptr, 10)));
        }
    }
    for (uint32_t amount : amounts) {
        uint32_t total = 0;
        if (client.Add(amount, &total) < 0) {
            std::fprintf(stderr, "counter_client: %s\n", client.GetErrorTextCopy().c_str());
            return 1;
        }
        std::printf("total %u\n", total);
    }
    // The peer sends one note per ADD; they may still be queued for the dispatch thread.
    return client.WaitForNotes(amounts.size()) ? 0 : 1;
}
