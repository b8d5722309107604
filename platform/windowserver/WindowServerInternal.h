// The window server's per-connection and per-window records (window-server thread only).
#pragma once

#include "platform/windowserver/BackingStore.h"
#include "platform/windowserver/WindowServer.h"

namespace windowserver {

struct WindowServer::Client {
    uint32_t cid = 0;
    ClientIdentity identity;
    PushSink push;
    bool reconfiguration = false; // hears reconfiguration passes
    bool refresh = false;         // hears refresh pushes
    bool awaitingAck = false;     // a refresh push is out; damage accumulates meanwhile
    std::vector<cg::CGRect> damage;
    uint32_t hideCount = 0;
    // What each display had before this connection's first app-only change.
    std::map<uint32_t, Snapshot> appOnly;
    // Descriptors the request being served answers with (serveWithDescriptors); dropped after
    // any other request.
    std::vector<ipc::UniqueFd> replyFds;
    uint32_t keyWindow = 0;   // the application's key window; 0 when none
    uint64_t monitorMask = 0; // event types (bit 1 << type) its global monitors want
};

struct WindowServer::Window {
    uint32_t number = 0;
    uint32_t ownerCid = 0;
    int32_t ownerPID = 0;
    std::string ownerName;
    std::string title;
    int32_t level = 0;
    cg::CGRect frame; // CG global points
    double alpha = 1.0;
    bool onScreen = false;
    bool ignoresMouse = false;
    bool nonActivating = false; // a click on it leaves the active application alone
    uint64_t order = 0;         // higher: ordered front more recently
    // An owner's window: the memory it draws into (none for test windows, zero sizes and sides
    // over BackingStore::kMaxSide). pixels below is the window server's copy of what was flushed.
    std::unique_ptr<BackingStore> store;
    // A test window's content (hooks), or a store's flushed copy: BGRA premultiplied pixels at pixelScale, packed rows.
    std::vector<uint32_t> pixels;
    uint32_t pixelsWide = 0;
    uint32_t pixelsHigh = 0;
    double pixelScale = 1.0;
    bool opaque = false; // every pixel's alpha is 0xFF
    bool test = false;
};

// Adds r to a list of non-overlapping rectangles, keeping them non-overlapping.
void addDisjoint(std::vector<cg::CGRect>& list, const cg::CGRect& r);

} // namespace windowserver
