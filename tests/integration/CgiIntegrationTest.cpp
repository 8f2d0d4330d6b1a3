// The CGI program end to end against receiver-sim on the service's fixed port: the exact
// reply and exit status for each kind of request, and the commands the service saw.
#include "CgiProcess.h"

#include <gtest/gtest.h>

namespace {

// Non-local senders in list order: 0 Alice (id 7), 1 "B&b <x>" (id 8, shown in frame 2),
// 2 Carol (id 300). Dave is local and never listed.
const char* kSenders = R"({"senders":[
 {"id":7,"ip":"10.0.0.5","name":"Alice","appType":1,"local":false,"valid":true,"frame":0},
 {"id":8,"ip":"10.0.0.6","name":"B&b <x>","appType":2,"local":false,"valid":true,"frame":2},
 {"id":9,"ip":"10.0.0.7","name":"Dave","appType":3,"local":true,"valid":true,"frame":0},
 {"id":300,"ip":"192.168.1.20","name":"Carol;100%+","appType":4,"local":false,"valid":true,
  "frame":0}]})";

const std::string kHeader = "Content-Type: text/xml\n\n<return>\n";

std::string Conference(const std::string& name, int frame, const std::string& ip, int app) {
    return "<conference>\n<username>" + name + "</username>\n<frame>" + std::to_string(frame) +
           "</frame>\n<ip>" + ip + "</ip>\n<apptype>" + std::to_string(app) +
           "</apptype>\n</conference>\n";
}

// The full reply for the three senders with the frames given.
std::string Reply(int aliceFrame, int bobFrame, int carolFrame, bool withAppType = true) {
    return kHeader + "<total>3</total>\n" +
           Conference("Alice", aliceFrame, "10.0.0.5", withAppType ? 1 : 0) +
           Conference("BPa_Ampb Pa_LtxPa_Gt", bobFrame, "10.0.0.6", withAppType ? 2 : 0) +
           Conference("CarolPa_Note100Pa_PercentPa_Add", carolFrame, "192.168.1.20",
                      withAppType ? 4 : 0) +
           "</return>\n";
}

CgiResult Get(const std::string& query) {
    return RunCgi({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}});
}

std::string FormError(const std::string& message) {
    return kHeader + "Content-Type: text/plain\n\n" + message + "\n";
}

} // namespace

TEST(CgiIntegrationTest, RequestWithoutActionsListsEverySender) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    CgiResult r = RunCgi({{"REQUEST_METHOD", "GET"}});
    EXPECT_EQ(r.out, Reply(-1, 2, -1));
    EXPECT_EQ(r.status, 0);

    r = Get("");
    EXPECT_EQ(r.out, Reply(-1, 2, -1));
    EXPECT_EQ(r.status, 0);

    // Variables that name no action change nothing.
    r = Get("Logout=1&userid1=play2&x=stop&a=b");
    EXPECT_EQ(r.out, Reply(-1, 2, -1));
    EXPECT_EQ(r.status, 0);

    EXPECT_EQ(sim.Count("GetNonLocalSenderList"), 6);
    EXPECT_EQ(sim.State()["commands"].size(), 1u) << sim.State().dump();
}

TEST(CgiIntegrationTest, PlayAndStopReachTheService) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    CgiResult r = Get("userid0=Play3");
    EXPECT_EQ(r.out, Reply(3, 2, -1));
    EXPECT_EQ(r.status, 0);

    r = Get("userid1=Stop");
    EXPECT_EQ(r.out, Reply(3, -1, -1));

    // Play without a number lets the service choose (the first free frame).
    r = Get("userid2=Play_1");
    EXPECT_EQ(r.out, Reply(3, -1, 1));

    // Without a "userid" the action addresses the first sender.
    r = Get("x=Stop");
    EXPECT_EQ(r.out, Reply(-1, -1, 1));

    // Numbers wider than 32 bits keep their low bits on every target: index 2, frame 3.
    r = Get("userid4294967298=Play4294967299");
    EXPECT_EQ(r.out, Reply(-1, -1, 3));

    EXPECT_EQ(sim.Count("StartPlayImage"), 3);
    EXPECT_EQ(sim.Count("StopPlayImage"), 2);
    EXPECT_EQ(sim.Count("GetNonLocalSenderList"), 10);
}

TEST(CgiIntegrationTest, SeveralActionsRunInRequestOrder) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    // Carol takes frame 2 over from Bob, then Bob's stop fails (he is no longer shown),
    // then Alice shows in frame 4; failures never show in the reply.
    CgiResult r = Get("userid2=Play2&userid1=Stop&userid0=Play4");
    EXPECT_EQ(r.out, Reply(4, -1, 2));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.Count("StartPlayImage"), 2);
    EXPECT_EQ(sim.Count("StopPlayImage"), 1);

    // Reversed order gives a different outcome: the index carries over to "frame".
    r = Get("userid0=Stop;userid1=Play4&frame=Play1");
    EXPECT_EQ(r.out, Reply(-1, 1, 2));
}

TEST(CgiIntegrationTest, LogoutEndsTheReplyAfterItsHeader) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    CgiResult r = Get("logout=1");
    EXPECT_EQ(r.out, kHeader);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.Count("QuitConfCtrl"), 1);
    EXPECT_EQ(sim.Count("GetNonLocalSenderList"), 1);

    // Actions before the logout are carried out, nothing after it.
    r = Get("userid0=Play3&logout2=x&userid1=Stop");
    EXPECT_EQ(r.out, kHeader);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.Count("QuitConfCtrl"), 2);
    EXPECT_EQ(sim.Count("StartPlayImage"), 1);
    EXPECT_EQ(sim.Count("StopPlayImage"), 0);
    EXPECT_EQ(sim.Count("GetNonLocalSenderList"), 2);
    EXPECT_EQ(sim.State()["frames"]["3"], 7);
}

TEST(CgiIntegrationTest, PostAndHeadRequests) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    // POST reads the body only, and only CONTENT_LENGTH bytes of it.
    CgiResult r = RunCgi({{"REQUEST_METHOD", "POST"},
                          {"CONTENT_TYPE", "APPLICATION/X-WWW-FORM-URLENCODED; charset=UTF-8"},
                          {"CONTENT_LENGTH", "13"},
                          {"QUERY_STRING", "userid0=Stop"}},
                         "userid2=Play1&userid1=Stop");
    EXPECT_EQ(r.out, Reply(-1, 2, 1));
    EXPECT_EQ(r.status, 0);

    // HEAD takes the query like GET and gets the whole reply.
    r = RunCgi({{"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "userid%31=Stop"}});
    EXPECT_EQ(r.out, Reply(-1, -1, 1));
    EXPECT_EQ(r.status, 0);

    EXPECT_EQ(sim.Count("StartPlayImage"), 1);
    EXPECT_EQ(sim.Count("StopPlayImage"), 1);
}

TEST(CgiIntegrationTest, RejectedRequestsEndWithTheParserMessage) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());
    const std::string form = "application/x-www-form-urlencoded";

    struct Case {
        std::map<std::string, std::string> env;
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "userid0=Play1"}},
         "",
         "getcgivars(): Unsupported REQUEST_METHOD."},
        {{}, "", "getcgivars(): Unsupported REQUEST_METHOD."},
        {{{"REQUEST_METHOD", "POST"},
          {"CONTENT_TYPE", form + ";charset=utf-8"},
          {"CONTENT_LENGTH", "13"}},
         "userid0=Play1",
         "getcgivars(): Unsupported Content-Type."},
        {{{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "abc"}},
         "userid0=Play1",
         "getcgivars(): No Content-Length was sent with thePOST request."},
        {{{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "99999999999"}},
         "userid0=Play1",
         "getcgivars(): Couldn't malloc for cgiinput."},
        {{{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", form}, {"CONTENT_LENGTH", "50"}},
         "userid0=Play1",
         "getcgivars(): Couldn't read CGI input from STDIN."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        CgiResult r = RunCgi(c.env, c.body);
        EXPECT_EQ(r.out, FormError(c.message));
        EXPECT_EQ(r.status, 1);
    }
    // Each run fetched the first list, then stopped: no action, no second list.
    EXPECT_EQ(sim.Count("GetNonLocalSenderList"), int(cases.size()));
    EXPECT_EQ(sim.Count("StartPlayImage"), 0);
}

TEST(CgiIntegrationTest, IndexNamingNoSenderSendsNothing) {
    SimProcess sim(kSenders);
    ASSERT_TRUE(sim.Ok());

    CgiResult r = Get("userid3=Play1&userid-1=Stop&userid99999999999=Play2");
    EXPECT_EQ(r.out, Reply(-1, 2, -1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.Count("StartPlayImage"), 0);
    EXPECT_EQ(sim.Count("StopPlayImage"), 0);
}

TEST(CgiIntegrationTest, EmptyServiceListAndAwkwardDelivery) {
    {
        SimProcess sim(R"({"senders":[]})");
        ASSERT_TRUE(sim.Ok());
        CgiResult r = Get("userid0=Play1");
        EXPECT_EQ(r.out, kHeader + "<total>0</total>\n</return>\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(sim.Count("StartPlayImage"), 0);
    }
    {
        // Basic entries carry no application type; answers come in pieces, behind junk
        // bytes and unrequested frames.
        SimProcess sim(kSenders, {"--basic", "--chunk", "5", "--junk", "3", "--unsolicited"});
        ASSERT_TRUE(sim.Ok());
        CgiResult r = Get("userid2=Play3");
        EXPECT_EQ(r.out, Reply(-1, 2, 3, false));
        EXPECT_EQ(r.status, 0);
    }
}

TEST(CgiIntegrationTest, ServiceThatDoesNotAcceptGivesEmptyOutput) {
    SimProcess sim(kSenders, {"--no-accept"});
    ASSERT_TRUE(sim.Ok());

    CgiResult r = Get("userid0=Play1");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 246);

    // The request is never read, so even a bad one ends the same way.
    r = RunCgi({{"REQUEST_METHOD", "PUT"}});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 246);
}

TEST(CgiIntegrationTest, RefusedConnectionGivesAnEmptyList) {
    // Nothing listens: the refused connection is taken, the list commands fail after
    // their send budgets, and the reply lists no sender.
    CgiResult r = Get("userid0=Play1");
    EXPECT_EQ(r.out, kHeader + "<total>0</total>\n</return>\n");
    EXPECT_EQ(r.status, 0);
}

TEST(CgiIntegrationTest, AnswerThatStallsAfterItsCodeEndsWithinTheTimeOuts) {
    // The first list answer stops after its code byte and the connection stays open: the
    // read gives up after its budget, the connection is dropped, and the run still ends
    // with an empty list well before the kill limit.
    SimProcess sim(kSenders, {"--stall", "0x1a"});
    ASSERT_TRUE(sim.Ok());
    CgiResult r = RunCgi({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "userid0=Play1"}}, "", 25);
    EXPECT_EQ(r.out, kHeader + "<total>0</total>\n</return>\n");
    EXPECT_EQ(r.status, 0);
}
