#include "jobs/report/bounded_text.h"

#include <gtest/gtest.h>

#include <cstring>

// "abc" then "d5" into buffers about their length: the text is cut, never
// overrun, and at stays on its terminating zero for the next append.
TEST(AppendFormatTest, CutsAtTheBufferAndKeepsAtOnTheTextsEnd) {
    struct Case {
        size_t size;
        const char* text;
    };
    const Case cases[] = {
        {1, ""},      {3, "ab"},    {4, "abc"},  // the first append cut, or just fitting
        {5, "abcd"},  {6, "abcd5"},              // the second one cut, or just fitting
        {7, "abcd5"},                            // room to spare
    };
    for (const Case& c : cases) {
        char text[8];
        std::memset(text, 'X', sizeof text);
        text[0] = '\0';
        size_t at = 0;
        AppendFormat(text, c.size, &at, "%s", "abc");
        AppendFormat(text, c.size, &at, "%c%d", 'd', 5);
        EXPECT_STREQ(text, c.text) << "size " << c.size;
        EXPECT_EQ(at, std::strlen(c.text)) << "size " << c.size;
        EXPECT_EQ(text[c.size], 'X') << "size " << c.size;
    }
}
