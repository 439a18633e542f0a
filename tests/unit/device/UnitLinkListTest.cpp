#include "device/UnitLinkList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A report whose bytes tell which one it is: byte 0 and 1 carry the sequence number; the rest of
// the producer's buffer is garbage that must not reach the queue.
TReportInfo Report(int seq, int size = 9) {
    TReportInfo r;
    r.reportData.fill(0xEE);
    r.reportData[0] = static_cast<uint8_t>(seq);
    r.reportData[1] = static_cast<uint8_t>(seq >> 8);
    r.reportSize = size;
    r.Characteristic = reinterpret_cast<TBluetoothGattCharacteristic*>(static_cast<uintptr_t>(0x1000 + seq));
    return r;
}

int SeqOf(const TReportInfo& r) { return r.reportData[0] | (r.reportData[1] << 8); }

}  // namespace

TEST(ReportQueue, EmptyQueue) {
    auto q = std::make_unique<TReportQueue>();
    EXPECT_EQ(q->Pop(), nullptr);
    EXPECT_EQ(q->Append(Report(1)), 1);
    EXPECT_NE(q->Pop(), nullptr);
    EXPECT_EQ(q->Pop(), nullptr);
    EXPECT_EQ(q->Count(), 0);
}

TEST(ReportQueue, HoldsAtMost255AndDropsTheNewest) {
    auto q = std::make_unique<TReportQueue>();
    for (int i = 1; i <= 255; ++i) ASSERT_EQ(q->Append(Report(i)), i);
    EXPECT_EQ(q->Append(Report(999)), 255);
    EXPECT_EQ(SeqOf(*q->Pop()), 1);
    EXPECT_EQ(q->Append(Report(256)), 255);
    for (int i = 2; i <= 256; ++i) ASSERT_EQ(SeqOf(*q->Pop()), i);
    EXPECT_EQ(q->Pop(), nullptr) << "the dropped report 999 must not come out";
}

// Keeps 200 reports in the ring while both indices go round it several times.
TEST(ReportQueue, KeepsArrivalOrderAcrossTheWrap) {
    auto q = std::make_unique<TReportQueue>();
    int next = 0;
    for (int i = 0; i < 1200; ++i) {
        ASSERT_EQ(q->Append(Report(i)), i < 200 ? i + 1 : 201);
        if (i >= 200) {
            auto* r = q->Pop();
            ASSERT_NE(r, nullptr);
            ASSERT_EQ(SeqOf(*r), next++);
        }
    }
    while (auto* r = q->Pop()) ASSERT_EQ(SeqOf(*r), next++);
    EXPECT_EQ(next, 1200);
}

TEST(ReportQueue, CopiesTheValidBytesAndZeroFillsTheRest) {
    auto q = std::make_unique<TReportQueue>();
    for (int size : {0, 1, 6, 21}) {
        TReportInfo in = Report(7, size);
        in.BleDevice = reinterpret_cast<TBluetoothLEDevice*>(static_cast<uintptr_t>(0x42));
        in.Characteristic = size == 6 ? nullptr : in.Characteristic;
        q->Append(in);
        const TReportInfo out = *q->Pop();
        EXPECT_EQ(out.reportSize, size);
        EXPECT_EQ(out.BleDevice, in.BleDevice);
        EXPECT_EQ(out.Characteristic, in.Characteristic);
        for (int i = 0; i < TReportInfo::MaxReportSize; ++i) {
            EXPECT_EQ(out.reportData[i], i < size ? in.reportData[i] : 0) << "size " << size << " byte " << i;
        }
    }
}

TEST(ReportQueue, RefusesSizesOutsideTheSlot) {
    auto q = std::make_unique<TReportQueue>();
    q->Append(Report(1));
    for (int size : {-1, 22, 1 << 30, INT32_MIN}) EXPECT_EQ(q->Append(Report(2, size)), 1) << size;
    EXPECT_EQ(SeqOf(*q->Pop()), 1);
    EXPECT_EQ(q->Pop(), nullptr);
}

TEST(ReportQueue, PoppedSlotStaysIntactUntilTheNextPop) {
    auto q = std::make_unique<TReportQueue>();
    // Put QueueOut just past the wrap so the slot before it is the last one of the array.
    for (int i = 0; i < 256; ++i) {
        q->Append(Report(i));
        q->Pop();
    }
    q->Append(Report(500));
    const PReportInfo slot = q->Pop();
    const TReportInfo before = *slot;
    for (int i = 0; i < 300; ++i) q->Append(Report(600 + i));
    EXPECT_EQ(q->Count(), 255);
    EXPECT_EQ(SeqOf(*slot), 500);
    EXPECT_EQ(slot->reportData, before.reportData);
    EXPECT_EQ(slot->Characteristic, before.Characteristic);
}

// Several producers, one consumer. The producers hold back while the ring is nearly full, so
// nothing may be dropped: every report comes out exactly once, each producer's in its own order.
TEST(ReportQueue, ProducersAndAConsumer) {
    auto q = std::make_unique<TReportQueue>();
    constexpr int Producers = 3, PerProducer = 20000;
    std::atomic<int> producing{Producers};
    std::vector<std::thread> threads;
    for (int p = 0; p < Producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < PerProducer; ++i) {
                while (q->Count() > TReportQueue::Capacity - 2 * Producers) std::this_thread::yield();
                TReportInfo r = Report(i);
                r.reportData[2] = static_cast<uint8_t>(p);
                q->Append(r);
            }
            --producing;
        });
    }
    std::vector<int> next(Producers, 0);
    for (;;) {
        const bool done = producing == 0;
        PReportInfo r = q->Pop();
        if (!r) {
            if (done) break;
            std::this_thread::yield();
            continue;
        }
        const int p = r->reportData[2];
        ASSERT_LT(p, Producers);
        ASSERT_EQ(SeqOf(*r), next[p]);
        ++next[p];
        ASSERT_EQ(r->reportData[8], 0xEE);
        ASSERT_EQ(r->reportData[9], 0) << "zero fill";
    }
    for (auto& t : threads) t.join();
    for (int p = 0; p < Producers; ++p) EXPECT_EQ(next[p], PerProducer);
}
