// Mobilesync sessions against the simulated iPhone, through the real library.
#include <gtest/gtest.h>

#include "device/mobiledevice_sync.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"

namespace {

const QString kUdid = "00008030-0011223344556677";
const _mobiledevice_sync_ctx kContacts("com.apple.Contacts", "", "computer-anchor");
using Client = mobiledevice_sync_client;

PlistCFType record(const QString& id, const QString& name)
{
    return simpl::dict().put(id, simpl::dict().put("first name", simpl::str(name)));
}
QByteArray xml(const PlistCFType& value) { return value.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0); }
void start(Client& c) { mobiledevice_sync_start_throw(kUdid, kContacts, c); }

TEST(MobileSync, ReceivingAndSendingSessionsEachEndWithTheClientReleased)
{
    SimIPhone sim;
    SimDevice phone(kUdid);
    phone.syncBatches = {record("1", "Ann"), record("2", "Bo")};
    sim.attach(phone);
    {
        Client client;
        start(client);
        mobiledevice_sync_start_recv_all_records_throw(client);
        PlistCFType entities, actions;
        QList<QByteArray> got;
        QList<bool> more, withActions;
        do {
            more << mobiledevice_sync_record_next_throw(client, entities, &actions);
            got << xml(entities), withActions << actions.isCFDictionary();
        } while (more.last() && got.size() < 5);
        EXPECT_EQ(got, (QList<QByteArray>{xml(record("1", "Ann")), xml(record("2", "Bo"))}));
        EXPECT_EQ(more + withActions, (QList<bool>{true, false, false, true}));
        mobiledevice_sync_send_finish_throw(client);
    }
    {
        Client client;
        start(client);
        mobiledevice_sync_start_send_to_device_throw(client);
        EXPECT_EQ(xml(mobiledevice_sync_send_throw(client, record("c1", "Cy"), true, PlistCFType())), xml(simpl::dict().put("c1", simpl::str("sim-c1"))));
        mobiledevice_sync_send_finish_throw(client);
    }
    sim.edit(kUdid, [](SimDevice& d) { EXPECT_EQ(xml(d.syncBatches.value(2)), xml(record("c1", "Cy"))); });
    // Each client was released: the phone was told goodbye twice.
    EXPECT_TRUE(spinUntil([&] { return sim.requests().filter("mobilesync:DLMessageDisconnect").size() == 2; }, 3000));
    // The tethered-sync setting goes to the phone as a dictionary.
    EXPECT_TRUE(mobiledevice_sync_set_tethered_throw(kUdid, "Contacts", true) && !mobiledevice_sync_set_tethered_throw("0badc0de", "Contacts", true));
    sim.edit(kUdid, [](SimDevice& d) { EXPECT_TRUE(d.values.value("com.apple.mobile.tethered_sync").get("Contacts").get("DisableTethered").CFNumberBool(false)); });
}

TEST(MobileSync, EachFailingCallThrowsItsTextAndAnEmptyClientDoesNothing)
{
    SimIPhone sim;
    sim.attach(SimDevice(kUdid));
    Client empty;
    PlistCFType entities;
    EXPECT_NO_THROW(mobiledevice_sync_start_recv_all_records_throw(empty); mobiledevice_sync_start_send_to_device_throw(empty); mobiledevice_sync_send_finish_throw(empty));
    EXPECT_FALSE(mobiledevice_sync_record_next_throw(empty, entities, nullptr));
    EXPECT_TRUE(mobiledevice_sync_send_throw(empty, record("1", "A"), true, PlistCFType()).isNull());

    using Call = std::function<void(Client&)>;
    const Call finished = [](Client& c) { start(c), mobiledevice_sync_send_finish_throw(c); }; // the library forgets the data class
    const Call send = [](Client& c) { mobiledevice_sync_send_throw(c, record("1", "A"), true, PlistCFType()); };
    const struct { QList<SimFault> faults; Call before, call; const char* text; } cases[] = {
        {{}, nullptr, [](Client& c) { mobiledevice_sync_start_throw("0badc0de", kContacts, c); }, "mobiledevice_sync_start_throw: open device failed. return -3."},
        {{{SimFault::Refuse, "com.apple.mobilesync"}}, nullptr, start, "mobiledevice_sync_start_throw: start service failed. return -256."},
        {{}, nullptr, [](Client& c) { mobiledevice_sync_start_throw(kUdid, {"com.example.None", "a", "b"}, c); }, "mobiledevice_sync_start_throw: start failed. return -7. Unknown data class"},
        {{}, finished, mobiledevice_sync_start_recv_all_records_throw, "mobilesync_get_all_records_from_device failed. return -1."},
        {{}, finished, [](Client& c) { PlistCFType e; mobiledevice_sync_record_next_throw(c, e, nullptr); }, "mobilesync_receive_changes failed. return -1."},
        {{}, finished, mobiledevice_sync_start_send_to_device_throw, "mobilesync_ready_to_send_changes_from_computer failed. return -1."},
        {{}, start, send, "mobilesync_send_changes failed. return -9."},
        // Answers: greeting 2, start, one batch, ready; the mapping is cut.
        {{{SimFault::Drop, "com.apple.mobilesync", 5}}, [](Client& c) { start(c), mobiledevice_sync_start_send_to_device_throw(c); }, send, "mobilesync_remap_identifiers failed. return -256."},
        {{}, finished, mobiledevice_sync_send_finish_throw, "mobilesync_finish failed. return -1."},
    };
    for (const auto& c : cases) {
        sim.edit(kUdid, [&](SimDevice& d) { d.faults = c.faults; });
        Client client;
        if (c.before)
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
