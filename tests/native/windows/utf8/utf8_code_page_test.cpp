// Java strings as ANSI text in a process whose ANSI code page is UTF-8 (a
// per-process option of current Windows, set by this program's manifest):
// one UTF-16 unit may need 3 bytes, a surrogate pair 4.
#include <stdlib.h>
#include <string.h>

#include "windows_support.h"

TEST_F(WindowsTest, AnsiTextInAUtf8CodePageTakesTheRoomItNeeds) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "the manifest did not make the code page UTF-8";
    struct Case {
        const char16_t *text;
        const char *bytes;
    } cases[] = {
        {u"abc", "abc"},
        {u"\u00e9", "\xc3\xa9"},
        {u"\u20ac", "\xe2\x82\xac"},
        {u"\u65e5\u672c\u8a9e", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
        {u"x\U0001F600", "x\xf0\x9f\x98\x80"},
        {u"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        char *native = jstringToWindows(env, Str(c.text));
        ASSERT_NE(native, nullptr);
        EXPECT_EQ(std::string(native, strlen(native) + 1), std::string(c.bytes) + std::string(1, '\0'));
        jstring back = WindowsTojstring(env, native);
        EXPECT_EQ(fakejni::string_chars(vm, back), c.text);
        free(native);
    }
    EXPECT_EQ(fakejni::outstanding_buffers(vm), 0u);
}
