// Mobilesync sessions against the simulated iPhone, through the real library.
#include <gtest/gtest.h>

#include "device/mobiledevice_sync.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"

namespace {

using namespace simpl;
using Client = mobiledevice_sync_client;
const QString kUdid = "00008030-0011223344556677";
const _mobiledevice_sync_ctx kContacts("com.apple.Contacts", "", "computer-anchor");

PlistCFType record(const QString& id, const QString& name)
{
    return dict().put(id, dict().put("first name", str(name)));
}
QByteArray xml(const PlistCFType& value) { return value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); }
void start(Client& c) { mobiledevice_sync_start_throw(kUdid, kContacts, c); }
void finished(Client& c) // the library forgets the data class
{
    start(c);
    mobiledevice_sync_send_finish_throw(c);
}
void sending(Client& c)
{
    start(c);
    mobiledevice_sync_start_send_to_device_throw(c);
}
PlistCFType send(Client& c) { return mobiledevice_sync_send_throw(c, record("c1", "Cy"), true, PlistCFType()); }

class MobileSync : public ::testing::Test
{
protected:
    void SetUp() override
    {
        phone.syncBatches = {record("1", "Ann"), record("2", "Bo")};
        sim.attach(phone);
    }
    SimIPhone sim;
    SimDevice phone {kUdid};
};

TEST_F(MobileSync, ReceivingAndSendingSessionsEachEndWithTheClientReleased)
{
    {
        Client client;
        start(client);
        mobiledevice_sync_start_recv_all_records_throw(client);
        PlistCFType entities, actions;
        QList<QByteArray> got; // each batch, whether more follow, whether it came with actions
        for (bool more = true; more && got.size() < 5;) {
            more = mobiledevice_sync_record_next_throw(client, entities, &actions);
            got << xml(entities) + char('0' + more) + char('0' + actions.isCFDictionary());
        }
        EXPECT_EQ(got, (QList<QByteArray> {xml(record("1", "Ann")) + "10", xml(record("2", "Bo")) + "01"}));
        mobiledevice_sync_send_finish_throw(client);
    }
    {
        Client client;
        sending(client);
        EXPECT_EQ(xml(send(client)), xml(dict().put("c1", str("sim-c1"))));
        mobiledevice_sync_send_finish_throw(client);
    }
    sim.edit(kUdid, [](SimDevice& d) { EXPECT_EQ(xml(d.syncBatches.value(2)), xml(record("c1", "Cy"))); });
    // Each client was released: the phone was told goodbye twice.
    const auto goodbyes = [&] { return sim.requests().filter("mobilesync:DLMessageDisconnect").size(); };
    EXPECT_TRUE(spinUntil([&] { return goodbyes() == 2; }, 3000));
    // The tethered-sync setting goes to the phone as a dictionary.
    EXPECT_TRUE(mobiledevice_sync_set_tethered_throw(kUdid, "Contacts", true));
    EXPECT_FALSE(mobiledevice_sync_set_tethered_throw("0badc0de", "Contacts", true));
    sim.edit(kUdid, [](SimDevice& d) {
        const PlistCFType setting = d.values.value("com.apple.mobile.tethered_sync").get("Contacts");
        EXPECT_TRUE(setting.get("DisableTethered").CFNumberBool(false));
    });
}

TEST_F(MobileSync, EachFailingCallThrowsItsTextAndAnEmptyClientDoesNothing)
{
    Client empty;
    PlistCFType entities;
    EXPECT_NO_THROW(mobiledevice_sync_start_recv_all_records_throw(empty));
    EXPECT_NO_THROW(mobiledevice_sync_start_send_to_device_throw(empty));
    EXPECT_NO_THROW(mobiledevice_sync_send_finish_throw(empty));
    EXPECT_FALSE(mobiledevice_sync_record_next_throw(empty, entities, nullptr));
    EXPECT_TRUE(send(empty).isNull());

    using Call = std::function<void(Client&)>;
    const Call none = [](Client&) {};
    const struct { QList<SimFault> faults; Call before, call; const char* text; } cases[] = {
        {{}, none, [](Client& c) { mobiledevice_sync_start_throw("0badc0de", kContacts, c); },
         "mobiledevice_sync_start_throw: open device failed. return -3."},
        {{{SimFault::Refuse, "com.apple.mobilesync"}}, none, start,
         "mobiledevice_sync_start_throw: start service failed. return -256."},
        {{}, none, [](Client& c) { mobiledevice_sync_start_throw(kUdid, {"com.example.None", "a", "b"}, c); },
         "mobiledevice_sync_start_throw: start failed. return -7. Unknown data class"},
        {{}, finished, mobiledevice_sync_start_recv_all_records_throw,
         "mobilesync_get_all_records_from_device failed. return -1."},
        {{}, finished, [&](Client& c) { mobiledevice_sync_record_next_throw(c, entities, nullptr); },
         "mobilesync_receive_changes failed. return -1."},
        {{}, finished, mobiledevice_sync_start_send_to_device_throw,
         "mobilesync_ready_to_send_changes_from_computer failed. return -1."},
        {{}, start, send, "mobilesync_send_changes failed. return -9."},
        // Answers: greeting 2, start, two batches, ready; the mapping is cut.
        {{{SimFault::Drop, "com.apple.mobilesync", 6}}, sending, send,
         "mobilesync_remap_identifiers failed. return -256."},
        {{}, finished, mobiledevice_sync_send_finish_throw, "mobilesync_finish failed. return -1."},
    };
    for (const auto& c : cases) {
        sim.edit(kUdid, [&](SimDevice& d) { d.faults = c.faults; });
        Client client;
        c.before(client);
        try {
            c.call(client);
            ADD_FAILURE() << "no error: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

} // namespace
