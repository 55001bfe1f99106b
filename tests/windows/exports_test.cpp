// Windows: kq.dll as a client program binds it by name (GetProcAddress) with
// its own declarations of the exports. On 32-bit Windows every export is
// __stdcall: the callee removes its arguments from the stack. Each export is
// called through a pointer of the client's declared type, and the stack
// pointer is compared before and after the call; a callee of another
// convention than the declared one leaves it moved. Also: the program and the
// DLL really are 32-bit code on i686 (pointer size, record size, the
// machine of the loaded images, WoW64 on a 64-bit system).
//
// This file is compiled with a frame pointer and without deferred argument
// pops (tests/windows.cmake), so that the stack pointer read right after a
// call is the one the call left; a moved one does not crash the caller.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

namespace kqtest {
namespace {

#if defined(__i386__)
#define KQ_CLIENT_API __stdcall
#define KQ_READ_SP(v) asm volatile("mov %%esp, %0" : "=r"(v) : : "memory")
#else
#define KQ_CLIENT_API
#define KQ_READ_SP(v) asm volatile("mov %%rsp, %0" : "=r"(v) : : "memory")
#endif

// The client's declarations of the 28 exports, written as a program that
// binds kq.dll by name would write them (independent of kq.h's KQ_API).
using KQ_GetSerialNo_t = int(KQ_CLIENT_API*)(char*);
using KQ_GetReaderCount_t = int(KQ_CLIENT_API*)(int*);
using KQ_GetSerialNoAt_t = int(KQ_CLIENT_API*)(int, char*);
using KQ_GetVersion_t = int(KQ_CLIENT_API*)();
using KQ_OpenUSB_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_CloseUSB_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_CheckStatusUSB_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_Init_TAGINFO_t = int(KQ_CLIENT_API*)(KQ_TAGINFO*);
using KQ_Init_PROPERTY_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_Init_IN_TA_t = int(KQ_CLIENT_API*)(KQ_IN_TA*);
using KQ_Init_OUT_TA_t = int(KQ_CLIENT_API*)(KQ_OUT_TA*);
using KQ_Init_IN_SR_t = int(KQ_CLIENT_API*)(KQ_IN_SR*);
using KQ_Init_IN_SNSR_t = int(KQ_CLIENT_API*)(KQ_IN_SNSR*);
using KQ_Init_OUT_SNSR_t = int(KQ_CLIENT_API*)(KQ_OUT_SNSR*);
using KQ_Init_IN_SW_t = int(KQ_CLIENT_API*)(KQ_IN_SW*);
using KQ_Init_OUT_GU_t = int(KQ_CLIENT_API*)(KQ_OUT_GU*);
using KQ_Init_IN_MW_t = int(KQ_CLIENT_API*)(KQ_IN_MW*);
using KQ_Init_OUT_MR_t = int(KQ_CLIENT_API*)(KQ_OUT_MR*);
using KQ_Init_OUT_MW_t = int(KQ_CLIENT_API*)(KQ_OUT_MW*);
using KQ_BuzzerCommand_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*, int);
using KQ_LoopStop_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_GetUID_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_TagCommand_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_SelectRead_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*, KQ_IN_SR*, KQ_TAGINFO*);
using KQ_SelectWrite_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*, KQ_IN_SW*);
using KQ_MultiRead_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_MultiWrite_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*);
using KQ_SensorCommand_t = int(KQ_CLIENT_API*)(KQ_PROPERTY*, KQ_IN_SNSR*, KQ_OUT_SNSR*);

// Calls fn(args...) through the declared pointer type; returns how far the
// stack pointer moved over the call (0 when callee and declaration agree)
// and stores the result.
template <class Fn, class... Args>
__attribute__((noinline)) long StackMoved(Fn fn, int* result, Args... args) {
    // A frame of run-time size: the function's exit then restores the stack
    // pointer from the frame pointer, whatever the call left in it.
    volatile size_t frame = 16;
    void* dynamic = __builtin_alloca(frame);
    asm volatile("" : : "r"(dynamic) : "memory");
    uintptr_t before = 0;
    uintptr_t after = 0;
    KQ_READ_SP(before);
    *result = fn(args...);
    KQ_READ_SP(after);
    return static_cast<long>(after - before);
}

class Exports : public SimRecordTest {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        dll_ = GetModuleHandleA("kq.dll");
        ASSERT_NE(dll_, nullptr) << "kq.dll is not loaded";
    }
    template <class Fn> Fn Bind(const char* name) {
        FARPROC p = GetProcAddress(dll_, name);
        EXPECT_NE(p, nullptr) << name << " is not exported under its plain name";
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    }
    // Calls the export `name` of declared type Fn; expects the stack pointer
    // where it was and returns the export's result.
    template <class Fn, class... Args> int Call(const char* name, Args... args) {
        Fn fn = Bind<Fn>(name);
        if (fn == nullptr) {
            return -1;
        }
        int result = -1;
        EXPECT_EQ(StackMoved(fn, &result, args...), 0)
            << name << ": the stack pointer moved over the call, so the export does not clean "
            << "up its arguments as the client's declaration says (__stdcall on 32-bit Windows)";
        ++calls_;
        return result;
    }
    HMODULE dll_ = nullptr;
    int calls_ = 0;
};

// Machine of a loaded image, from its PE header.
WORD MachineOf(HMODULE module) {
    auto* base = reinterpret_cast<const unsigned char*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->FileHeader.Machine;
}

TEST_F(Exports, ProgramAndDllAreCodeOfTheBuildsWordSize) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    // Read by scripts/test-wow64.sh.
    std::printf("kq-abi: pointer size %u, KQ_PROPERTY %u bytes, WoW64 process %d\n",
                static_cast<unsigned>(sizeof(void*)), static_cast<unsigned>(sizeof(KQ_PROPERTY)),
                wow64 ? 1 : 0);
#if defined(__i386__)
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_EQ(sizeof(KQ_PROPERTY), 33169u);
    EXPECT_EQ(MachineOf(GetModuleHandleA(nullptr)), IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(MachineOf(dll_), IMAGE_FILE_MACHINE_I386);
    // A 32-bit process on 64-bit Windows (or Wine) runs under WoW64; on
    // 32-bit Windows there is no WoW64, so nothing is expected of the flag.
#else
    EXPECT_EQ(sizeof(void*), 8u);
    EXPECT_EQ(sizeof(KQ_PROPERTY), 33185u);
    EXPECT_EQ(MachineOf(GetModuleHandleA(nullptr)), IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(MachineOf(dll_), IMAGE_FILE_MACHINE_AMD64);
    EXPECT_FALSE(wow64) << "a 64-bit process is never a WoW64 process";
#endif
}

TEST_F(Exports, EveryExportCalledThroughTheClientsDeclarationKeepsTheStack) {
    ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 16), 0);
    KQ_PROPERTY& p = P();
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {};
    int count = -1;

    EXPECT_EQ(Call<KQ_GetVersion_t>("KQ_GetVersion"), KQ_GetVersion());
    EXPECT_EQ(Call<KQ_GetReaderCount_t>("KQ_GetReaderCount", &count), KQ_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Call<KQ_GetSerialNo_t>("KQ_GetSerialNo", serial), KQ_OK);
    EXPECT_STREQ(serial, "KQSIM0001");
    std::memset(serial, 0, sizeof serial);
    EXPECT_EQ(Call<KQ_GetSerialNoAt_t>("KQ_GetSerialNoAt", 0, serial), KQ_OK);
    EXPECT_STREQ(serial, "KQSIM0001");

    // The clearing functions: each one got its block (it is cleared).
    auto cleared = [](const void* block, size_t size) {
        auto* b = static_cast<const unsigned char*>(block);
        for (size_t i = 0; i < size; ++i) {
            if (b[i] != 0) {
                return false;
            }
        }
        return true;
    };
    KQ_TAGINFO tag;
    KQ_IN_SR in_sr;
    KQ_IN_SNSR in_snsr;
    KQ_OUT_SNSR out_snsr;
    KQ_IN_SW in_sw;
    std::memset(&tag, 0x55, sizeof tag);
    std::memset(&in_sr, 0x55, sizeof in_sr);
    std::memset(&in_snsr, 0x55, sizeof in_snsr);
    std::memset(&out_snsr, 0x55, sizeof out_snsr);
    std::memset(&in_sw, 0x55, sizeof in_sw);
    std::memset(p.IN_TA, 0x55, sizeof p.IN_TA);
    std::memset(p.OUT_TA, 0x55, sizeof p.OUT_TA);
    std::memset(&p.OUT_GU, 0x55, sizeof p.OUT_GU);
    std::memset(&p.IN_MW, 0x55, sizeof p.IN_MW);
    std::memset(&p.OUT_MR, 0x55, sizeof p.OUT_MR);
    std::memset(&p.OUT_MW, 0x55, sizeof p.OUT_MW);
    EXPECT_EQ(Call<KQ_Init_TAGINFO_t>("KQ_Init_TAGINFO", &tag), KQ_OK);
    EXPECT_TRUE(cleared(&tag, sizeof tag));
    EXPECT_EQ(Call<KQ_Init_IN_SR_t>("KQ_Init_IN_SR", &in_sr), KQ_OK);
    EXPECT_TRUE(cleared(&in_sr, sizeof in_sr));
    EXPECT_EQ(Call<KQ_Init_IN_SNSR_t>("KQ_Init_IN_SNSR", &in_snsr), KQ_OK);
    EXPECT_TRUE(cleared(&in_snsr, sizeof in_snsr));
    EXPECT_EQ(Call<KQ_Init_OUT_SNSR_t>("KQ_Init_OUT_SNSR", &out_snsr), KQ_OK);
    EXPECT_TRUE(cleared(&out_snsr, sizeof out_snsr));
    EXPECT_EQ(Call<KQ_Init_IN_SW_t>("KQ_Init_IN_SW", &in_sw), KQ_OK);
    EXPECT_TRUE(cleared(&in_sw, sizeof in_sw));
    EXPECT_EQ(Call<KQ_Init_IN_TA_t>("KQ_Init_IN_TA", &p.IN_TA), KQ_OK);
    EXPECT_TRUE(cleared(p.IN_TA, sizeof p.IN_TA));
    EXPECT_EQ(Call<KQ_Init_OUT_TA_t>("KQ_Init_OUT_TA", &p.OUT_TA), KQ_OK);
    EXPECT_TRUE(cleared(p.OUT_TA, sizeof p.OUT_TA));
    EXPECT_EQ(Call<KQ_Init_OUT_GU_t>("KQ_Init_OUT_GU", &p.OUT_GU), KQ_OK);
    EXPECT_TRUE(cleared(&p.OUT_GU, sizeof p.OUT_GU));
    EXPECT_EQ(Call<KQ_Init_IN_MW_t>("KQ_Init_IN_MW", &p.IN_MW), KQ_OK);
    EXPECT_TRUE(cleared(&p.IN_MW, sizeof p.IN_MW));
    EXPECT_EQ(Call<KQ_Init_OUT_MR_t>("KQ_Init_OUT_MR", &p.OUT_MR), KQ_OK);
    EXPECT_TRUE(cleared(&p.OUT_MR, sizeof p.OUT_MR));
    EXPECT_EQ(Call<KQ_Init_OUT_MW_t>("KQ_Init_OUT_MW", &p.OUT_MW), KQ_OK);
    EXPECT_TRUE(cleared(&p.OUT_MW, sizeof p.OUT_MW));
    std::memset(p.OUT_TA, 0x55, sizeof p.OUT_TA);
    EXPECT_EQ(Call<KQ_Init_PROPERTY_t>("KQ_Init_PROPERTY", &p), KQ_OK);
    EXPECT_TRUE(cleared(p.OUT_TA, sizeof p.OUT_TA));

    // A session through the pointers.
    EXPECT_EQ(Call<KQ_OpenUSB_t>("KQ_OpenUSB", &p), KQ_OK);
    ASSERT_NE(p.Handle, nullptr);
    EXPECT_EQ(Call<KQ_CheckStatusUSB_t>("KQ_CheckStatusUSB", &p), 0);
    EXPECT_EQ(Call<KQ_GetUID_t>("KQ_GetUID", &p), KQ_OK);
    EXPECT_EQ(p.OUT_GU.Count, 1);
    EXPECT_STREQ(p.OUT_GU.TagInfo[0].UID, Uid(1).c_str());
    std::strcpy(p.IN_TA, "ABC");
    EXPECT_EQ(Call<KQ_TagCommand_t>("KQ_TagCommand", &p), KQ_OK);
    EXPECT_NE(std::string(p.OUT_TA, sizeof p.OUT_TA).find("CBA"), std::string::npos);

    in_sw.StartBlock = 0;
    in_sw.BlockCount = 2;
    std::strcpy(in_sw.TagInfo.UID, Uid(1).c_str());
    std::strcpy(in_sw.TagInfo.Data, "ABCD1234");
    EXPECT_EQ(Call<KQ_SelectWrite_t>("KQ_SelectWrite", &p, &in_sw), KQ_OK);
    in_sr.StartBlock = 0;
    in_sr.BlockCount = 2;
    std::strcpy(in_sr.UID, Uid(1).c_str());
    EXPECT_EQ(Call<KQ_SelectRead_t>("KQ_SelectRead", &p, &in_sr, &tag), KQ_OK);
    EXPECT_STREQ(tag.Data, "ABCD1234");

    p.IN_MR.StartBlock = 0;
    p.IN_MR.BlockCount = 2;
    EXPECT_EQ(Call<KQ_MultiRead_t>("KQ_MultiRead", &p), KQ_OK);
    EXPECT_EQ(p.OUT_MR.DoneCount, 1);
    EXPECT_STREQ(p.OUT_MR.TagInfo[0].Data, "ABCD1234");
    p.IN_MW.StartBlock = 0;
    p.IN_MW.BlockCount = 2;
    std::strcpy(p.IN_MW.TagInfo[0].UID, Uid(1).c_str());
    std::strcpy(p.IN_MW.TagInfo[0].Data, "WXYZ5678");
    EXPECT_EQ(Call<KQ_MultiWrite_t>("KQ_MultiWrite", &p), KQ_OK);
    EXPECT_EQ(p.OUT_MW.DoneCount, 1);

    // A sensor whose comparator turns at 0x5A.
    ASSERT_EQ(kqsim_tag_set_sensor(Uid(1).c_str(), 0x5A, "00A1B2C3"), 0);
    in_snsr.Channel = 0;
    in_snsr.Setting = 0;
    std::strcpy(in_snsr.UID, Uid(1).c_str());
    EXPECT_EQ(Call<KQ_SensorCommand_t>("KQ_SensorCommand", &p, &in_snsr, &out_snsr), KQ_OK);
    EXPECT_NEAR(out_snsr.Value, 0x5A, 1);
    EXPECT_EQ(Call<KQ_BuzzerCommand_t>("KQ_BuzzerCommand", &p, 1), KQ_OK);

    // Loop mode: a worker started through the pointer, stopped through it.
    p.LoopMode = 1;
    EXPECT_EQ(Call<KQ_GetUID_t>("KQ_GetUID", &p), KQ_OK);
    EXPECT_NE(p.hThread, nullptr);
    EXPECT_EQ(Call<KQ_LoopStop_t>("KQ_LoopStop", &p), KQ_OK);
    EXPECT_EQ(p.hThread, nullptr);
    EXPECT_TRUE(N().WaitFor(WM_KQ_LOOPEND, 20000));
    EXPECT_EQ(Call<KQ_CloseUSB_t>("KQ_CloseUSB", &p), KQ_OK);
    EXPECT_EQ(p.Handle, nullptr);

    EXPECT_EQ(calls_, 29) << "every export, GetUID twice, through the client's declarations";
}

} // namespace
} // namespace kqtest
