// Authenticated (NTS) servers through a user's session, against Debian's
// chrony on loopback (tests/timeserver/nts_servers.sh) with the run's own
// test root trusted by this Wine prefix alone.
#include "tests/e2e/driver.h"

#include <wincrypt.h>

namespace {

using namespace e2e;

// Puts the run's test root into the machine's store of that name, or takes it out; in ROOT
// it may be kept for signing code alone, as Windows keeps some roots. Put in again, it is
// kept for every use.
bool PlaceTestRoot(const char* storeName, bool present, bool signingOnly = false) {
  HANDLE file = CreateFileA(Beside("nts\\ca.der").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  BYTE der[4096];
  DWORD size = 0;
  bool read = file != INVALID_HANDLE_VALUE && ReadFile(file, der, sizeof der, &size, nullptr) && size > 0;
  CloseHandle(file);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName);
  PCCERT_CONTEXT root = nullptr;
  bool done = read && store &&
              CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                               CERT_STORE_ADD_REPLACE_EXISTING, &root);
  LPSTR signing[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_ENHKEY_USAGE only = {1, signing};
  if (done && signingOnly) done = CertSetEnhancedKeyUsage(root, &only);
  if (done && !present) done = CertDeleteCertificateFromStore(CertDuplicateCertificateContext(root));
  CertFreeCertificateContext(root);
  if (store) CertCloseStore(store, 0);
  return done;
}

using Nts = ProgramTest;

TEST_F(Nts, MeasuredWithKeptCookiesAndNeverAskedInPlainNtp) {
  ASSERT_TRUE(PlaceTestRoot("ROOT", true) && PlaceTestRoot("Disallowed", false));
  // "localhost" reaches chrony through a relay that counts key exchanges;
  // chrony names its NTP server by a name longer than a list entry holds,
  // which the run's resolver gives 127.0.0.131. Its certificate names
  // "localhost" alone, so as 127.0.0.131 it is another name.
  const char kGood[] = "nts://localhost", kOtherName[] = "nts://127.0.0.131",
             kUntrusted[] = "nts://127.0.0.133", kForged[] = "nts://127.0.0.134", kDrip[] = "nts://127.0.0.136",
             kNoRoute[] = "nts://192.0.2.1",  // as before the network is up: no answer, and not refused
             // ::1, 127.0.0.139 (which lets no connection in), 127.0.0.137 (which never ends the
             // exchange) and 127.0.0.138: only the last runs a key exchange, and it names no other
             // NTP server.
             kPair[] = "nts://pair.test";
  Serve({{kGood, ""}, {kOtherName, ""}, {kUntrusted, ""}, {kForged, ""}, {kDrip, "ke-drip"}, {kNoRoute, ""},
         {kPair, ""}});
  ASSERT_TRUE(timeservers::Set("::1", "ntp-exact 0"));
  ASSERT_TRUE(timeservers::Set("127.0.0.139", "ke-full"));
  ASSERT_TRUE(timeservers::Set("127.0.0.137", "ke-drip"));
  ASSERT_TRUE(timeservers::Set("127.0.0.1", "ke-relay 131"));
  ASSERT_TRUE(timeservers::Set("127.0.0.133", "ntp-exact 0"));  // plain NTP beside the untrusted one
  ASSERT_TRUE(timeservers::Set("127.0.0.135", "ntp-nts-forged"));  // where 127.0.0.134 sends its clients
  ASSERT_TRUE(Start());

  RunPass(IDC_SYNC);
  Check({{kGood, StatusMeasured, R"(\d+;.*s \(NTS\))"}, {kOtherName, StatusRefused, "Refused;"},
         {kUntrusted, StatusRefused, "Refused;"}, {kForged, StatusNoResponse, "No Response;"},
         {kDrip, StatusNoResponse, "No Response;"}, {kNoRoute, StatusNoResponse, "No Response;"},
         {kPair, StatusMeasured, R"(\d+;.*s \(NTS\))"}});
  // A server that sends a byte at a time holds no exchange past its time.
  for (const char* drip : {"127.0.0.136", "127.0.0.137"})
    EXPECT_TRUE(WaitUntil([&] { return timeservers::Count(drip) == 0; }, 3000)) << drip << " still connected";
  EXPECT_EQ(timeservers::Count("127.0.0.1"), 1) << "one key exchange";
  EXPECT_EQ(timeservers::Count("127.0.0.133"), 0) << "asked in plain NTP";
  EXPECT_GE(timeservers::Count("127.0.0.135"), 1) << "the forged replies came";
  EXPECT_NE(reg::As<int64_t>(reg::Read("LastCorrectionTime")), 0) << "corrected from the NTS server";
  // chrony serves this machine's own clock: the authenticated offset is near 0.
  const int64_t offset = reg::As<int64_t>(reg::Read("LastCorrectionValue"));
  EXPECT_LE(offset < 0 ? -offset : offset, 100);

  // The second pass spends the cookies the first one kept.
  RunPass(IDC_SYNC);
  Check({{kGood, StatusMeasured, R"(\d+;.*s \(NTS\))"}, {kPair, StatusMeasured, R"(\d+;.*s \(NTS\))"}});
  EXPECT_EQ(timeservers::Count("127.0.0.1"), 1) << "a key exchange although cookies were kept";
  EXPECT_EQ(timeservers::Count("::1"), 0) << "cookies sent to an address that did not give them";

  // Started again, with no cookies kept: the root no longer trusted, or kept for signing code
  // alone, vouches for no server.
  for (bool disallowed : {true, false}) {
    SendCommand(window_, CMD_QUIT);
    EXPECT_EQ(program_->WaitExit(), 0u);
    ASSERT_TRUE(PlaceTestRoot("Disallowed", disallowed) && PlaceTestRoot("ROOT", true, !disallowed));
    ASSERT_TRUE(Start());
    RunPass(IDC_SYNC);
    Check({{kGood, StatusRefused, "Refused;"}});
  }
  ASSERT_TRUE(PlaceTestRoot("ROOT", true));
}

}  // namespace
