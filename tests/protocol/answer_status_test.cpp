// The answer-status mapper over every answer kind and every reader error code.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver/driver.h"

namespace {

// The mapping as the reader's documentation states it, row by row in decimal, kept apart from the driver's
// table so that a shifted or mistyped boundary there shows up here.
struct Row {
    int first;
    int last;
    uint32_t status;
};
const std::vector<Row> kErrorCodeRows = {
    {0, 0, 0xA0100014},     {1, 9, 0xA010001C},     {10, 15, 0xA0100014},   {16, 24, 0xA010001C},
    {25, 25, 0xE0100003},   {26, 31, 0xA0100014},   {32, 32, 0xA010001C},   {33, 33, 0xE0100003},
    {34, 35, 0xA010001C},   {36, 36, 0xE0100002},   {37, 37, 0xE0100003},   {38, 39, 0xA010001C},
    {40, 40, 0xE0100003},   {41, 41, 0xA010001C},   {42, 47, 0xA0100014},   {48, 52, 0xA0100013},
    {53, 63, 0xA0100014},   {64, 72, 0xA0100013},   {73, 113, 0xA0100014},  {114, 114, 0xA0100013},
    {115, 127, 0xA0100014}, {128, 129, 0xE0100001}, {130, 130, 0xA010006C}, {131, 131, 0xA0100001},
    {132, 132, 0xE0100001}, {133, 133, 0xA0100001}, {134, 137, 0xE0100001}, {138, 255, 0xA0100014},
};

uint32_t expected_for_code(int code) {
    for (const Row& row : kErrorCodeRows) {
        if (code >= row.first && code <= row.last) return row.status;
    }
    ADD_FAILURE() << "no row for error code " << code;
    return 0;
}

uint32_t map(UCHAR kind, const UCHAR* data) { return static_cast<uint32_t>(MapReaderAnswerStatus(kind, data)); }

TEST(AnswerStatus, TheRowsCoverEveryErrorCodeOnce) {
    std::vector<int> hits(256, 0);
    for (const Row& row : kErrorCodeRows) {
        for (int code = row.first; code <= row.last; ++code) ++hits[code];
    }
    for (int code = 0; code < 256; ++code) EXPECT_EQ(hits[code], 1) << "error code " << code;
}

TEST(AnswerStatus, ErrorAnswerMapsEveryErrorCode) {
    for (int code = 0; code < 256; ++code) {
        // The other data bytes (a status word for some commands) must not matter.
        const UCHAR data[3] = {static_cast<UCHAR>(code), 0x6A, 0x82};
        EXPECT_EQ(map(8, data), expected_for_code(code)) << "error code " << code;
    }
}

TEST(AnswerStatus, EveryAnswerKind) {
    const UCHAR data[1] = {0x01};  // an error code that maps to a warning, so kind 8 stands out from the rest
    for (int kind = 0; kind < 256; ++kind) {
        uint32_t expected = 0xE0100000;
        if (kind == 5) expected = 0;
        if (kind == 6) expected = 0xA010000A;
        if (kind == 7) expected = 0xA010006E;
        if (kind == 8) expected = 0xA010001C;
        EXPECT_EQ(map(static_cast<UCHAR>(kind), data), expected) << "kind " << kind << " with data";
        if (kind == 8) expected = 0xE0100000;
        EXPECT_EQ(map(static_cast<UCHAR>(kind), nullptr), expected) << "kind " << kind << " without data";
    }
}

TEST(AnswerStatus, DocumentedExamples) {
    const UCHAR code01[1] = {0x01}, code80[1] = {0x80}, codeFF[1] = {0xFF};
    EXPECT_EQ(map(5, nullptr), 0u);
    EXPECT_EQ(map(8, nullptr), 0xE0100000u);
    EXPECT_EQ(map(8, code01), 0xA010001Cu);
    EXPECT_EQ(map(8, code80), 0xE0100001u);
    EXPECT_EQ(map(8, codeFF), 0xA0100014u);
    EXPECT_EQ(map(9, code01), 0xE0100000u);
}

}  // namespace
