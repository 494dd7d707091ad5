// GL diagnostics that need no context: surface format, version parsing, message texts.
#include <deque>
#include <gtest/gtest.h>

#include "glcontext.h"

namespace {
// glError draining an error queue of our own instead of GL's.
std::string errorsOf(const char* file, int line, std::deque<GLenum>& codes) {
    return glError(file, line, [&codes]() -> GLenum {
        if (codes.empty()) return GL_NO_ERROR;
        GLenum c = codes.front();
        codes.pop_front();
        return c;
    });
}
}  // namespace

TEST(GlError, NamesEveryCodeInOrder) {
    EXPECT_EQ(parseGlVersion("4.60 NVIDIA 535.0"), 46);  // the first minor digit only
    std::deque<GLenum> codes = {GL_INVALID_ENUM,
                                GL_INVALID_VALUE,
                                GL_INVALID_OPERATION,
                                GL_STACK_OVERFLOW,
                                GL_STACK_UNDERFLOW,
                                GL_OUT_OF_MEMORY,
                                GL_INVALID_FRAMEBUFFER_OPERATION,
                                0x1234};
    EXPECT_EQ(errorsOf("/some/a\"b.cpp", 7, codes),
              "glError(s) @ \"a\\\"b.cpp\":7 : invalid enum (0x0500), invalid value (0x0501), "
              "invalid operation (0x0502), stack overflow (0x0503), stack unerflow (0x0504), out "
              "of memory (0x0505), unknown error code (0x0506), unknown error code (0x1234), \n");
    EXPECT_TRUE(codes.empty());
    EXPECT_EQ(errorsOf("x.cpp", 1, codes), "");
}

TEST(GlError, FloodStopsAtAThousandCharacters) {
    // Each entry "invalid enum (0x0500), " has 23 characters: 44 of them reach 1012.
    std::deque<GLenum> codes(60, GL_INVALID_ENUM);
    std::string expected = "glError(s) @ \"f.cpp\":2 : ";
    for (int i = 0; i < 44; ++i) expected += "invalid enum (0x0500), ";
    EXPECT_EQ(errorsOf("f.cpp", 2, codes), expected + "\n");
    // The 45th code was read and dropped; the rest waits for the next check.
    EXPECT_EQ(codes.size(), 60u - 45u);
}

TEST(FramebufferStatus, KnownStatusTexts) {
    const std::pair<GLenum, const char*> cases[] = {
        {GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT, "Framebuffer incomplete, incomplete attachment"},
        {GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT,
         "Framebuffer incomplete, missing attachment"},
        {GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER, "Framebuffer incomplete, missing draw buffer"},
        {GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER, "Framebuffer incomplete, missing read buffer"},
        {GL_FRAMEBUFFER_UNSUPPORTED, "Unsupported framebuffer format"},
    };
    for (auto& [status, text] : cases)
        EXPECT_EQ(framebufferStatus("/src/Texture.cpp", 42, status),
                  std::string("Framebuffer Error in file /src/Texture.cpp @ line 42: ") + text);
    EXPECT_EQ(framebufferStatus("x.cpp", 1, GL_FRAMEBUFFER_COMPLETE), "");
    try {
        throwIfGlText("boom");
        FAIL() << "no exception";
    } catch (const opengl_error& e) {
        EXPECT_STREQ(static_cast<const std::runtime_error&>(e).what(), "boom");
    }
    EXPECT_NO_THROW(throwIfGlText(""));
}
