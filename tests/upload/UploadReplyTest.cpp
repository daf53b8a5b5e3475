#include "upload/UploadReply.h"

#include <gtest/gtest.h>
#include <string>

// The status and message are the whole text of the first two children,
// however it is split into elements and sections.
TEST(UploadReply, StatusAndMessageAreTheTextOfTheFirstTwoChildren)
{
    const UploadReply reply = UploadReply::read(
        "<reply><status><b>O</b>K</status><message>a<i>b<u>c</u></i><![CDATA[<d>]]>e</message><x>z</x></reply>");
    EXPECT_EQ(reply.status, "OK");
    EXPECT_EQ(reply.message, "abc<d>e");
}

// A reply nested hundreds of thousands deep (well under the largest reply
// accepted) overflowed the stack and killed the station.
TEST(UploadReply, ADeeplyNestedReplyIsReadWithoutExhaustingTheStack)
{
    const int depth = 300000;
    std::string body = "<reply><status>";
    for (int i = 0; i < depth; ++i)
        body += "<a>";
    body += "FAIL";
    for (int i = 0; i < depth; ++i)
        body += "</a>";
    body += "</status><message>deep</message></reply>";
    const UploadReply reply = UploadReply::read(body);
    EXPECT_EQ(reply.status, "FAIL");
    EXPECT_EQ(reply.message, "deep");
}
