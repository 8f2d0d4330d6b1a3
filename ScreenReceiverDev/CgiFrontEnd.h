// CgiFrontEnd: turns the request's form variables into commands for the receiver.
//
// The variables are matched on their leading characters ("logout", "userid", "Play",
// "Stop"); a "userid" name selects a record of the sender list fetched before the request
// was read, and the selection carries over to later variables. A "sender" name says which
// sender the page showed at an index, so that an action on a list that has moved since
// is skipped instead of reaching another sender. Planning is a pure function
// of the variables and that list, so the vocabulary can be tested without a connection.
// Owns nothing; no locking (used on the main thread only).
#pragma once

#include "SenderRecord.h"

#include <cstdint>
#include <vector>

class CgiFrontEnd {
public:
    struct Action {
        enum Kind { kStart, kStop, kQuit };
        Kind kind;
        uint32_t id;   // sender id for kStart/kStop
        uint8_t frame; // frame byte for kStart
    };

    // Walks the null-terminated name/value array of getcgivars in order. The result lists
    // the commands in request order; a logout ends it with kQuit, and nothing after it in
    // the request is looked at, nor anything after the first eight actions. An action
    // whose selected index names no record of `senders`, or a record other than the
    // request's "sender" variable for that index names, is left out. A "sender<i>" value
    // is "<ip>" or "<ip> <name>": the address as the reply prints it and the name as the page
    // read it, compared in the reply's escaped spelling; the last one for an index counts.
    static std::vector<Action> PlanActions(char* const* vars,
                                           const std::vector<SenderRecord>& senders);

    // The frame byte sent for "Play<n>": 0 (or no number) asks the receiver to choose,
    // which it spells 0x80; any other number is cut to its low eight bits.
    static uint8_t FrameByte(int64_t number);
};
