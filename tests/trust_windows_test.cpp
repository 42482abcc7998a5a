// SPDX-License-Identifier: MIT
// The rule of trust in Windows' terms (tool/io.h, "On Windows"), decided on
// security descriptors written in SDDL: whose entries may be stepped onto
// in which directories, and which directories new files may be made in.
// Wine makes no reparse points and gives every file one owner, so the
// rule's decisions are tested here, on the descriptors themselves.
#include "io/windows/internal.h"

#include <gtest/gtest.h>

#include <string>

#include <sddl.h>
#include <sys/stat.h>

namespace {

using velkor_io::detail::security;

std::wstring my_sid()
{
    HANDLE token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buf[512];
    DWORD len;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buf, sizeof buf, &len));
    CloseHandle(token);
    wchar_t *text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid, &text));
    std::wstring me = text;
    LocalFree(text);
    return me;
}

// `sddl` with ME, OTHER and THIRD put in: the effective user and two
// other accounts.
std::wstring spelled(std::wstring sddl)
{
    static const std::wstring me = my_sid();
    const std::pair<std::wstring, std::wstring> names[] = {
        {L"ME", me}, {L"OTHER", L"S-1-5-21-1-2-3-1001"}, {L"THIRD", L"S-1-5-21-1-2-3-1002"}};
    for (const auto &[from, to] : names)
        for (size_t at; (at = sddl.find(from)) != std::wstring::npos;)
            sddl.replace(at, from.size(), to);
    return sddl;
}

security of(const std::wstring &sddl, bool directory)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    const std::wstring text = spelled(sddl);
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &sd, nullptr))
        << "bad SDDL";
    security s;
    EXPECT_TRUE(velkor_io::detail::security_from(sd, directory, s));
    LocalFree(sd);
    return s;
}

// A descriptor with an owner and no access list at all, which lets anyone
// in (wine reads "D:NO_ACCESS_CONTROL" as an empty list instead).
security without_list(const std::wstring &owner)
{
    PSECURITY_DESCRIPTOR with_owner = nullptr;
    const std::wstring text = spelled(L"O:" + owner);
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &with_owner,
                                                                     nullptr));
    PSID sid = nullptr;
    BOOL defaulted;
    EXPECT_TRUE(GetSecurityDescriptorOwner(with_owner, &sid, &defaulted));
    SECURITY_DESCRIPTOR sd;
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, sid, FALSE));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    security s;
    EXPECT_TRUE(velkor_io::detail::security_from(&sd, true, s));
    LocalFree(with_owner);
    return s;
}

std::string text(const char *why) { return why != nullptr ? why : "allowed"; }

constexpr unsigned link = 0;

TEST(TrustWindows, EntriesByTheirOwnerAndWhoMayWriteTheirDirectory)
{
    const std::string file_refused = "a file of another user in a directory others can write";
    const struct {
        const wchar_t *dir;   // the directory's descriptor
        const wchar_t *owner; // the entry's owner
        unsigned kind;
        std::string want;
    } cases[] = {
        // Only the user and LocalSystem may write: nothing can be planted.
        {L"O:MED:(A;;FA;;;ME)(A;;FA;;;SY)", L"OTHER", S_IFREG, "allowed"},
        {L"O:MED:(A;;FA;;;ME)(A;;0x1200a9;;;WD)", L"OTHER", S_IFREG, "allowed"},
        // Anyone may add a file, a subdirectory or delete a child.
        {L"O:MED:(A;;0x2;;;WD)", L"OTHER", S_IFREG, file_refused},
        {L"O:MED:(A;;0x4;;;AU)", L"OTHER", S_IFDIR,
         "a directory of another user in a directory others can write"},
        {L"O:MED:(A;;0x40;;;BU)", L"OTHER", link, "another user's link in a directory others can write"},
        // A third account may change the list, so it may write.
        {L"O:MED:(A;;WD;;;THIRD)", L"OTHER", S_IFREG, file_refused},
        {L"O:MED:(A;;GA;;;THIRD)", L"OTHER", S_IFREG, file_refused},
        // An entry only for what is made inside, not for the directory.
        {L"O:MED:(A;OICIIO;FA;;;WD)", L"OTHER", S_IFREG, "allowed"},
        // The entry's owner's own directory, which only they may write.
        {L"O:OTHERD:(A;;FA;;;OTHER)", L"OTHER", S_IFREG, "allowed"},
        {L"O:MED:(A;;FA;;;OW)", L"OTHER", S_IFREG, "allowed"},
        // The directory's owner is a third account, who may always write.
        {L"O:THIRDD:(A;;FA;;;THIRD)", L"OTHER", S_IFREG, file_refused},
        // What the user and root own is always allowed.
        {L"O:MED:(A;;FA;;;WD)", L"ME", S_IFREG, "allowed"},
        {L"O:MED:(A;;FA;;;WD)", L"SY", link, "allowed"},
        {L"O:MED:(A;;FA;;;WD)", L"BA", S_IFDIR, "allowed"},
    };
    for (const auto &c : cases) {
        const security dir = of(c.dir, true);
        const security entry = of(std::wstring(L"O:") + c.owner + L"D:(A;;FA;;;WD)", false);
        EXPECT_EQ(text(velkor_io::detail::entry_refusal(dir, entry, c.kind)), c.want)
            << "directory " << std::string(c.dir, c.dir + wcslen(c.dir)) << ", entry of "
            << std::string(c.owner, c.owner + wcslen(c.owner));
    }
    const security entry = of(L"O:OTHERD:(A;;FA;;;WD)", false);
    EXPECT_EQ(text(velkor_io::detail::entry_refusal(without_list(L"ME"), entry, S_IFREG)), file_refused);
    // A volume that keeps no owners (FAT): nothing can be told, nothing
    // can be planted as a link.
    EXPECT_EQ(text(velkor_io::detail::entry_refusal(security{}, security{}, link)), "allowed");
}

TEST(TrustWindows, DirectoriesToFill)
{
    const struct {
        const wchar_t *dir;
        std::string want;
    } cases[] = {
        {L"O:MED:(A;;FA;;;ME)(A;;FA;;;SY)(A;;0x1200a9;;;WD)", "allowed"},
        {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;ME)", "allowed"},
        {L"O:OTHERD:(A;;FA;;;OTHER)(A;;FA;;;ME)", "the directory belongs to another user"},
        // No sticky directories on Windows: a shared one is refused.
        {L"O:SYD:(A;;FA;;;SY)(A;;0x2;;;BU)", "others can write to the directory"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(velkor_io::detail::fill_refusal(of(c.dir, true))), c.want)
            << std::string(c.dir, c.dir + wcslen(c.dir));
    EXPECT_EQ(text(velkor_io::detail::fill_refusal(without_list(L"ME"))), "others can write to the directory");
}

} // namespace
