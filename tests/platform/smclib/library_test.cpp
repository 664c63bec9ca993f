// Tests of the smart card library's per-reader life cycle, remove lock and data helpers.
#include <gtest/gtest.h>

#include "fake_reader.h"
#include "platform/smclib/smclib_sim.h"

namespace sim::test {
namespace {

SMARTCARD_EXTENSION fresh_extension() {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    e.SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    return e;
}

TEST(SmclibInitialize, AllocatesBuffersAndOsDataUnderTheLibraryTag) {
    Kernel k(1);
    run_clean(k, [&] {
        SMARTCARD_EXTENSION e = fresh_extension();
        e.SmartcardReply.BufferSize = 16;  // below the minimum: raised
        ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
        EXPECT_NE(e.SmartcardRequest.Buffer, nullptr);
        EXPECT_NE(e.SmartcardReply.Buffer, nullptr);
        ASSERT_NE(e.OsData, nullptr);
        EXPECT_EQ(e.SmartcardRequest.BufferSize, 288u);
        EXPECT_EQ(e.SmartcardReply.BufferSize, 288u);
        EXPECT_EQ(e.OsData->NotificationIrp, nullptr);
        EXPECT_EQ(k.live_pool().size(), 3u);
        EXPECT_EQ(k.live_pool_with_tag(kSmclibPoolTag), 3u);
        SmartcardExit(&e);
        EXPECT_EQ(e.OsData, nullptr);
        EXPECT_TRUE(k.live_pool().empty());
    });
}

TEST(SmclibInitialize, RefusesAnUnknownVersion) {
    Kernel k(2);
    run_clean(k, [&] {
        for (ULONG version : {0u, 0x151u}) {
            SMARTCARD_EXTENSION e = fresh_extension();
            e.Version = version;
            EXPECT_EQ(SmartcardInitialize(&e), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(e.OsData, nullptr);
            EXPECT_TRUE(k.live_pool().empty());
        }
    });
}

TEST(SmclibInitialize, PoolExhaustionLeavesNothingAllocated) {
    uint64_t allocations = 0;
    {
        Kernel k(3);
        run_clean(k, [&] {
            SMARTCARD_EXTENSION e = fresh_extension();
            ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
            allocations = k.calls_at(FaultSite::pool);
            SmartcardExit(&e);
        });
    }
    ASSERT_GT(allocations, 0u);
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        Kernel k(3);
        k.set_fault(FaultSite::pool, {.fail_nth = n});
        run_clean(k, [&] {
            SMARTCARD_EXTENSION e = fresh_extension();
            EXPECT_EQ(SmartcardInitialize(&e), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(e.OsData, nullptr);
            EXPECT_EQ(e.SmartcardRequest.Buffer, nullptr);
            EXPECT_EQ(e.SmartcardReply.Buffer, nullptr);
        });
        EXPECT_EQ(k.faults_injected(), 1u);
        EXPECT_TRUE(k.live_pool().empty()) << k.describe_live_pool();
    }
}

// Removal waits in SmartcardReleaseRemoveLockAndWait for an I/O control that still holds the lock.
TEST(SmclibRemoveLock, DrainWaitsForEveryHolderThenRefusesAll) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Kernel k(seed);
        FakeReader r(k);
        KEVENT io_holds;
        KeInitializeEvent(&io_holds, NotificationEvent, FALSE);
        VirtualTime released_at = -1;
        VirtualTime drained_at = -1;
        k.spawn("io", [&] {
            ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(r.ext, kIoctTag), STATUS_SUCCESS);
            KeSetEvent(&io_holds, IO_NO_INCREMENT, FALSE);
            LARGE_INTEGER delay;
            delay.QuadPart = -from_ms(50);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            released_at = k.now();
            SmartcardReleaseRemoveLockWithTag(r.ext, kIoctTag);
        });
        k.spawn("pnp", [&] {
            KeWaitForSingleObject(&io_holds, Executive, KernelMode, FALSE, nullptr);
            ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(r.ext, kPnpTag), STATUS_SUCCESS);
            SmartcardReleaseRemoveLockAndWait(r.ext);
            drained_at = k.now();
            EXPECT_EQ(SmartcardAcquireRemoveLockWithTag(r.ext, kIoctTag), STATUS_DELETE_PENDING);
            EXPECT_EQ(SmartcardAcquireRemoveLock(r.ext), STATUS_DELETE_PENDING);
        });
        EXPECT_EQ(k.run(), RunOutcome::completed) << k.bug_check_report() << k.scheduler().deadlock_report();
        EXPECT_EQ(released_at, from_ms(50));
        EXPECT_GE(drained_at, released_at);
    }
}

TEST(SmclibRemoveLock, DrainWithoutOtherHoldersReturnsAtOnce) {
    Kernel k(4);
    FakeReader r(k);
    run_clean(k, [&] {
        ASSERT_EQ(SmartcardAcquireRemoveLock(r.ext), STATUS_SUCCESS);
        SmartcardReleaseRemoveLock(r.ext);
        ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(r.ext, kPnpTag), STATUS_SUCCESS);
        SmartcardReleaseRemoveLockAndWait(r.ext);
        EXPECT_EQ(k.now(), 0);
    });
}

TEST(SmclibRemoveLock, MisuseIsAVerifierStop) {
    struct Case {
        const char* what;
        std::function<void(PSMARTCARD_EXTENSION)> misuse;
        const char* rule;
    };
    const Case cases[] = {
        {"release never acquired", [](PSMARTCARD_EXTENSION e) { SmartcardReleaseRemoveLockWithTag(e, kIoctTag); },
         "SMCLIB_REMOVE_LOCK_NOT_HELD"},
        {"release under another tag",
         [](PSMARTCARD_EXTENSION e) {
             SmartcardAcquireRemoveLockWithTag(e, kPnpTag);
             SmartcardReleaseRemoveLockWithTag(e, kIoctTag);
         },
         "SMCLIB_REMOVE_LOCK_NOT_HELD"},
        {"untagged release of a tagged hold",
         [](PSMARTCARD_EXTENSION e) {
             SmartcardAcquireRemoveLockWithTag(e, kIoctTag);
             SmartcardReleaseRemoveLock(e);
         },
         "SMCLIB_REMOVE_LOCK_NOT_HELD"},
        {"released twice",
         [](PSMARTCARD_EXTENSION e) {
             SmartcardAcquireRemoveLock(e);
             SmartcardReleaseRemoveLock(e);
             SmartcardReleaseRemoveLock(e);
         },
         "SMCLIB_REMOVE_LOCK_NOT_HELD"},
        {"drain without a hold", [](PSMARTCARD_EXTENSION e) { SmartcardReleaseRemoveLockAndWait(e); },
         "SMCLIB_REMOVE_LOCK_NOT_HELD"},
        {"drained twice",
         [](PSMARTCARD_EXTENSION e) {
             SmartcardAcquireRemoveLockWithTag(e, kPnpTag);
             SmartcardReleaseRemoveLockAndWait(e);
             SmartcardReleaseRemoveLockAndWait(e);
         },
         "SMCLIB_REMOVE_LOCK_DRAINED_TWICE"},
        {"exit while held",
         [](PSMARTCARD_EXTENSION e) {
             SmartcardAcquireRemoveLockWithTag(e, kIoctTag);
             SmartcardExit(e);
         },
         "SMCLIB_EXIT_WITH_REMOVE_LOCK_HELD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k(5);
        FakeReader r(k);
        EXPECT_EQ(k.run_thread("app", [&] { c.misuse(r.ext); }), RunOutcome::bugcheck);
        EXPECT_EQ(k.bug_check_rule(), c.rule) << k.bug_check_report();
    }
}

TEST(SmclibRawCopies, RequestAndReplyCopyOrRefuse) {
    Kernel k(6);
    FakeReader r(k);
    run_clean(k, [&] {
        auto& io = r.ext->IoRequest;
        std::vector<UCHAR> caller(300, 0x11);
        ULONG information = 0;
        io.Information = &information;
        io.RequestBuffer = caller.data();
        io.RequestBufferLength = 12;
        ASSERT_EQ(SmartcardRawRequest(r.ext), STATUS_SUCCESS);
        EXPECT_EQ(r.ext->SmartcardRequest.BufferLength, 12u);
        EXPECT_EQ(std::vector<UCHAR>(r.ext->SmartcardRequest.Buffer, r.ext->SmartcardRequest.Buffer + 12),
                  std::vector<UCHAR>(12, 0x11));
        io.RequestBufferLength = 289;
        EXPECT_EQ(SmartcardRawRequest(r.ext), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.ext->SmartcardRequest.BufferLength, 12u);

        std::memset(r.ext->SmartcardReply.Buffer, 0x77, 10);
        r.ext->SmartcardReply.BufferLength = 10;
        io.ReplyBuffer = caller.data();
        io.ReplyBufferLength = 9;
        EXPECT_EQ(SmartcardRawReply(r.ext), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(caller[0], 0x11);
        io.ReplyBufferLength = 10;
        EXPECT_EQ(SmartcardRawReply(r.ext), STATUS_SUCCESS);
        EXPECT_EQ(information, 10u);
        EXPECT_EQ(caller[9], 0x77);
        EXPECT_EQ(caller[10], 0x11);
    });
}

TEST(SmclibInvertData, ConvertsInverseConventionBytes) {
    // TS of an inverse-convention card reads 0x03 in direct convention and means 0x3F.
    UCHAR bytes[] = {0x03, 0x00, 0xFF, 0x80, 0x3B};
    SmartcardInvertData(bytes, sizeof bytes);
    EXPECT_EQ(bytes[0], 0x3F);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0xFE);
    SmartcardInvertData(bytes, sizeof bytes);
    EXPECT_EQ(bytes[4], 0x3B);
    EXPECT_EQ(bytes[0], 0x03);
}

}  // namespace
}  // namespace sim::test
