// What the host test plugin's export mvtest_probe(probe, connection, user)
// does on the calling thread; it answers the host's status.
#pragma once

enum Probe {
    kLocalId,       // getLocalUserID
    kName,          // getUserName, released
    kAllUsers,      // getAllUsers, released
    kLeakName,      // getUserName, never released
    kFreeTwice,     // getAllUsers, released twice (answers the second release)
    kFreeUnknown,   // releases a pointer the host never handed out
    kStale,         // the next init also calls through the table it was lent
    kLogFromThread, // log from a thread of the plugin's, waited for
};
