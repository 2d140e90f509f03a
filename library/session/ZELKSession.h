#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/ASemaphore.h"
#include "tls/CertificateCallbackInterface.h"

class ASocket;
class AThread;
class ByteStream;
class CancelConnectThread;
class FindDrivesThread;
class HeartBeatThread;
class ProtocolTUVO;
class ReceiveThread;
class ReconnectThread;
class RequestProcessor;
class SendThread;
class ServerImageManager;
class SessionHost;
class VDiskRelease;
class VMCertificateInfo;
class VMConnectionInfo;
class VMDriveList;
class VMLocalDrive;
class VMRemoteDrive;
class VMServerImageList;
class VMSessionStatus;
class WatchDriveThread;
class ZELKPacket;
struct CertificatePrompt;

// The session engine: one connection to the server, its threads, its
// request processor and its status. Owned by the facade (through the
// SessionHost interface). It keeps its own copy of the settings and, when
// built with a shared one, its own drive list; the server-image list is
// borrowed.
//
// Lifetime: the session's threads use it through plain pointers; the owner
// releases it only from a thread that is not one of them (the destructor
// stops and joins them all).
//
// Threads: connect and the login run on the application's thread; every
// packet handler runs on the receive thread; stopSession may run on either
// (and never waits for the thread it runs on). Every flag another thread
// reads is atomic; the status record and the one-time credentials are
// guarded by one mutex and copied out under it.
//
// The session-setup object (and through it the socket) is shared: a thread
// doing I/O keeps a reference for the duration of one call. Closing shuts
// the connection down (a blocked read or write returns) and clears the
// session's pointer; the object itself goes only after the threads are
// joined, in the destructor.
class ZELKSession : public CertificateCallbackInterface {
public:
    using Callback = void (*)(int);

    // Bounds for waits the protocol leaves open (library milliseconds).
    static constexpr int64_t SEND_DRAIN_WAIT_MS = 2000;
    static constexpr int64_t THREAD_STOP_WAIT_MS = 10000;
    // A second stopSession waits this long for the first one to finish.
    static constexpr int64_t STOP_WAIT_MS = 60000;
    // Stopping: how long the socket's last users may take to let go of it.
    static constexpr int64_t SOCKET_RELEASE_WAIT_MS = 2000;
    // Reconnection: pause between attempts, the one-time-password waits and
    // the clear-text reconnect wait.
    static constexpr int64_t RECONNECT_RETRY_MS = 5000;
    static constexpr int OTP_WAIT_SECONDS = 30;
    static constexpr int64_t CTR_WAIT_MS = 30000;

    ZELKSession(SessionHost* vmAPI, VMDriveList* driveList, VMServerImageList* serverImageList);
    // The same, keeping the drive list for as long as the session lives.
    ZELKSession(SessionHost* vmAPI, std::shared_ptr<VMDriveList> driveList, VMServerImageList* serverImageList);
    ~ZELKSession() override;
    ZELKSession(const ZELKSession&) = delete;
    ZELKSession& operator=(const ZELKSession&) = delete;

    // ---- Object, connect and login -------------------------------------
    void registerSessionCallback(Callback cb);
    void registerDriveCallback(Callback cb);
    void registerServerImageCallback(Callback cb);
    void registerCertificateCallback(Callback cb);
    void registerPlainConnectionCallback(Callback cb);
    void setVMStyle(int style) { m_vmStyle.store(style); }
    int getVMStyle() const { return m_vmStyle.load(); }
    // VM styles 3-5 print the library's messages on standard output.
    bool isConsoleStyle() const;

    // API_SUCCESS, API_ERROR, API_INVALID_ARGUMENT or API_CANCELLED. The
    // settings are copied: what the session learns (a credential type the
    // server's answer changes) goes into its copy, never the caller's.
    int connect(const VMConnectionInfo* info);
    // The current socket, kept alive for as long as the caller holds it; null
    // when there is none (never connected, or closed while stopping).
    std::shared_ptr<ASocket> getSocket();
    // What the send and receive threads read and write: the socket, or the
    // stream a test put in its place.
    std::shared_ptr<ByteStream> getStream();
    // The current session-setup object (null when none).
    std::shared_ptr<ProtocolTUVO> getTuvo();
    // Tests: packets go to and come from this stream instead of a socket;
    // onClose runs where the socket would be shut down.
    void setStreamForTesting(std::shared_ptr<ByteStream> stream, std::function<void()> onClose = {});
    // Tests: runs the session on that stream as connect would after set-up.
    void startForTesting();

    void sendLoginUser(const char* password, const char* userId, uint8_t preempt, int clientRandom,
                       int applianceRandom, const char* applianceId, int appliancePort, int applianceChannel);
    void StartLoginSuccessfulThreads();

    // Takes ownership (null allowed). With the connect cancelled the status
    // becomes 999; cipher and protocol come from the current TLS socket.
    void setSessionStatus(VMSessionStatus* status);
    // A copy of the current record (with the reconnecting and encrypted
    // fields filled in), or null when there is none. The record itself never
    // leaves the session.
    std::unique_ptr<VMSessionStatus> copySessionStatus();
    bool hasSessionStatus();
    // Status code of the current record, or fallback when there is none.
    int getSessionStatusCode(int fallback);
    // Changes the status code of the current record; false when there is none.
    bool setSessionStatusCode(int status);
    // Grows with every record installed (a waiter tells a new answer from an old one).
    uint64_t getSessionStatusGeneration() const { return m_statusGeneration.load(); }
    // Grows with every drive-list answer merged into the drive list.
    uint64_t getDriveListUpdates() const { return m_driveListUpdates.load(); }
    void noteDriveListUpdated() { m_driveListUpdates.fetch_add(1); }

    void sendPreemptResponse(int answer);
    int isVersionAbove1_1();
    int isVersionWordAbove0101();

    // Queues a packet (ownership passes) unless stopping or without a send
    // thread; then it is deleted.
    void sendPacket(ZELKPacket* packet);
    // The same, but also while stopping (the releases and the close of stopSession).
    void sendPacketWhileStopping(ZELKPacket* packet);

    // ---- Drive mapping and session requests ----------------------------
    void sendVDiskInfoRequest();
    void checkVDiskInfoResponse();
    // The drive-list answer arrived: clears the watchdog, runs deferred threads.
    void receivedVDiskInfoResponse();
    int sendMapRequest(VMRemoteDrive* rd, VMLocalDrive* ld, int readOnly);
    int sendMapRequest2(VMLocalDrive* ld, VMRemoteDrive* rd, int readOnly);
    void sendVDiskAlternateTocData(int deviceIndex, int msf, int format, int track);
    // The remote drive a server request (read, write, table of contents,
    // release, device status) names, or null. Its device index is the drive's
    // id, the place the server listed it at: unknown types leave gaps and
    // merges keep ids, so it is never a position in the list.
    VMRemoteDrive* remoteDriveForRequest(int deviceIndex);
    void unmapAllDrives();
    void unmapLocalDrive(VMLocalDrive* ld, uint8_t sendRelease);
    void unmapRemoteDrive(VMRemoteDrive* rd);
    void sendVDiskRelease(VDiskRelease* packet);
    void sendResponseData(VMLocalDrive* ld, int byteCount, int maxBlocks, VMRemoteDrive* rd, uint32_t startValue,
                          const uint8_t* data);
    void sendHeartbeatMsg();
    void sendServerImageDeleteRequest(uint16_t imageIndex);
    void runFindDrives(VMDriveList* list);
    // Writes the fixed 20-byte table of contents; returns 20.
    static int GetFixedToc(uint8_t* buffer);
    // Local drives of the drive list that are mapped now.
    int countMappedDrives();
    // Held around every change of a drive mapping and every request served
    // from a mapping; taken before the drive-list locks, never held across a
    // callback or stopSession.
    std::recursive_mutex& getMappingMutex() { return m_mappingMutex; }

    // ---- Stop and teardown ---------------------------------------------
    // Also ends a pending certificate or plain-text question (as CANCEL) and
    // the set-up of a reconnection attempt.
    int cancelConnect();
    void sendCloseConnection();
    // Runs once; a caller that finds it under way waits (bounded) until it
    // has finished, unless it is one of the session's own threads.
    void stopSession();
    // The server refused the login: a stop keeps that refusal as the status
    // (it tells why the session ended) instead of 999.
    void setLoginRefused(bool refused) { m_loginRefused.store(refused ? 1 : 0); }

    // ---- Prompts --------------------------------------------------------
    void CallbackCertificateSave(CertificatePrompt* prompt) override;
    void setCertificateResponse(int answer);
    void setPlainConnectionResponse(int answer);
    void getCertificateInfo(VMCertificateInfo* info);

    // ---- Reconnection and one-time passwords ----------------------------
    // 0 reconnected and login sent, 1 failed or cancelled.
    int reconnect();
    int remapDrives();
    int cancelReconnect();
    void sendOTPRequest();
    void waitForOTPResponse();
    int isClearTextReconnectPending();
    // Asks the reconnect thread for a reconnection now. When none can be
    // made (no one-time pair, no thread that may reconnect), the
    // reconnection is called off: waitForClearTextReconnect then ends the
    // session.
    void forceReconnect();
    // Waits (bounded) until the reconnection forceReconnect asked for has
    // logged in and placed the drives; a reconnection that failed, was
    // called off or did not end in time ends the session (its cancel-
    // reconnect flag is then set).
    void waitForClearTextReconnect();
    // The type mapDrive and remapDrives look for (a local type, as
    // VMDriveList::getMatchingRemoteDrive takes it): a CD keeps its type, a
    // drive offered as a floppy looks for a floppy (except in the older RDOC
    // styles before version 1.2), any other for a removable drive.
    static int wantedRemoteType(int localType, int mapAsFloppy, int vmStyle, bool above11);
    // A remote drive of that type can take a drive looking for wantedType.
    static bool remoteSuits(int wantedType, int remoteType);
    // One mapped drive to place again after a reconnection: the type it
    // looks for (wantedRemoteType) and the server drive it had.
    struct RemapNeed {
        int wanted;
        int oldRemote;
    };
    // One server drive of the new list.
    struct RemapSlot {
        int id;
        int type;
        bool free;
    };
    // Where each drive goes (a server drive id, -1: no place). Places as
    // many drives as the list can hold, each on the kind it looks for when
    // one is free (a floppy on a floppy drive before a removable one); a
    // drive keeps the server drive it had only where that is such a drive
    // and it costs no other drive its place.
    static std::vector<int> planRemap(const std::vector<RemapNeed>& needs, const std::vector<RemapSlot>& slots);
    void setReconnectCheckTimeout(int seconds) { m_reconnectCheckTimeout.store(seconds); }
    int getReconnectCheckTimeout() const { return m_reconnectCheckTimeout.load(); }
    void setReconnecting(int reconnecting);
    // The drive-list handler (remap) and the reconnect thread's deadline
    // both may end a reconnection: true for the first to ask, once per
    // reconnection.
    bool claimReconnectOutcome() { return m_reconnectOutcomeClaimed.exchange(1) == 0; }
    void setReconnectAttemptTimeout(int seconds) { m_reconnectAttemptTimeout.store(seconds); }
    int getReconnectAttemptTimeout() const { return m_reconnectAttemptTimeout.load(); }
    // The one-time credentials (under the session mutex); an absent text stays null.
    void setOTPCredentials(const char* user, const char* password);
    std::optional<std::string> getOTPUser();
    std::optional<std::string> getOTPPassword();

    // ---- State read by the threads, the processor and the facade --------
    bool isStopped() const { return m_isStopped.load() != 0; }
    // A connect was tried on this session (the facade connects a fresh one
    // next time).
    bool wasConnectAttempted() const { return m_connectAttempted.load() != 0; }
    // The session the calling thread works for: one of its threads, or any
    // thread inside one of its callbacks; null on an application thread
    // outside them. Callbacks use it to tell which session an event is from.
    static ZELKSession* callingSession();
    // The calling thread is one of this session's threads.
    bool isOwnThread() const;
    // The session's threads were started once (a stopped session that ran is
    // not connected again).
    bool hasRun() const;
    bool isStopping() const { return m_stopping.load() != 0; }
    bool isReconnecting() const { return m_reconnecting.load() != 0; }
    bool isReconnectAvailable() const { return m_reconnectAvailable.load() != 0; }
    bool getCancelReconnect() const { return m_cancelReconnect.load() != 0; }
    bool isConnectCancelled() const { return m_cancelConnect.load() != 0; }
    bool isConnectDone() const { return m_connectDone.load() != 0; }
    void setConnectDone() { m_connectDone.store(1); }
    int getPromptState() const { return m_promptState.load(); }
    bool isSecure() const { return m_secure.load() != 0; }
    bool isFloppyReversed() const { return m_floppyReversed.load() != 0; }
    // connect copies it from the settings.
    void setFloppyReversed(bool reversed) { m_floppyReversed.store(reversed ? 1 : 0); }
    bool isReadOnlySession() const { return m_readOnlySession.load() != 0; }
    void setReadOnlySession(bool readOnly) { m_readOnlySession.store(readOnly ? 1 : 0); }
    bool isWaitingForVDiskInfoResponse() const { return m_waitingForVDiskInfoResponse.load() != 0; }
    int64_t getVDiskInfoRequestTime() const { return m_vdiskInfoRequestTime.load(); }
    int getSessionId() const { return m_sessionId.load(); }
    void setSessionId(int id) { m_sessionId.store(id); }
    int getNumMaps() const { return m_numMaps.load(); }
    void incrementNumMaps() { m_numMaps.fetch_add(1); }
    void decrementNumMaps() { m_numMaps.fetch_sub(1); }
    // The server's TUVO version word from session setup (0 when none).
    int getPeerTuvoVersion();
    int getHeartbeatTimeout() const { return m_heartbeatTimeout.load(); }
    int getConnectTimeout() const { return m_connectTimeout.load(); }

    int64_t getLastSendTime() const { return m_lastSendTime.load(); }
    void setLastSendTime(int64_t t) { m_lastSendTime.store(t); }
    int64_t getLastReceiveTime() const { return m_lastReceiveTime.load(); }
    void setLastReceiveTime(int64_t t) { m_lastReceiveTime.store(t); }
    // Whole seconds of library time (tw::Clock), the unit of the times above.
    static int64_t nowSeconds();

    Callback getSessionCallback() const { return m_vmSessionCallback.load(); }
    Callback getDriveCallback() const { return m_driveCallback.load(); }
    Callback getServerImageCallback() const { return m_serverImageCallback.load(); }
    // Calls the callback when one is registered.
    void callSessionCallback(int code);
    void callDriveCallback(int code);
    void callServerImageCallback(int code);

    SessionHost* getVMAPI() const { return m_vmAPI; }
    VMDriveList* getDriveListRef() const { return m_driveList; }
    VMServerImageList* getServerImageList() const { return m_serverImageList; }
    VMConnectionInfo* getConnectionInfo() const { return m_connectionInfo.load(); }
    RequestProcessor* getRequestProcessor() const { return m_requestProcessor.get(); }
    ServerImageManager* getServerImageManager() const { return m_serverImageManager.get(); }
    SendThread* getSendThread() const { return m_sendThread.get(); }
    ReceiveThread* getReceiveThread() const { return m_receiveThread.get(); }
    HeartBeatThread* getHeartBeatThread();
    ReconnectThread* getReconnectThread();
    FindDrivesThread* getFindDrivesThread();
    WatchDriveThread* getWatchDriveThread();
    CancelConnectThread* getCancelConnectThread();

private:
    // Under the mapping lock, after the medium was opened: both drives are
    // still free and the remote drive still listed.
    bool canPublishMapping(VMRemoteDrive* rd, VMLocalDrive* ld, const char* who);
    // The handlers release the session-id and one-time-password waits.
    friend class RequestProcessor;

    void print(const char* text);
    // Marks a thread as one of this session's.
    void adopt(AThread* thread);
    // Closes the descriptor (and drops retired set-up objects) once no
    // thread can be inside a read or write on it.
    void releaseSocket();
    // Stopping: closes every medium still open (a cancelled connect's, or
    // one whose server drive is no longer listed); sends nothing and leaves
    // the mappings as they are.
    void closeMedia();
    // Shuts the socket down and retires the session-setup object (kept until
    // the destructor so no thread loses it under a call).
    void closeSocket();
    void startHeartBeatThread();
    // Waits (bounded) until the thread's running flag is clear; never for
    // the calling thread.
    template <typename T>
    void waitNotRunning(T* thread, const char* name);
    // Reconnection: the session or the calling reconnect thread is stopping.
    bool reconnectAbandoned();
    // A pending prompt is to end unanswered: cancelled, stopping, or the
    // reconnection it belongs to was called off.
    bool promptAbandoned() const;
    // Sets the cancel flag of a reconnection attempt's set-up, if one runs.
    void cancelAttempt();
    // Asks the thread to pause and waits (bounded) until it has.
    bool parkThread(AThread* thread, const char* name);
    // Starts a thread again that ended on an error (not stopped), unless the
    // session is stopping.
    void restartEnded(AThread* thread, const char* name);

    // Settings and flags.
    std::atomic<int> m_vmStyle{0};
    std::atomic<int> m_quiet{1};
    std::atomic<int> m_heartbeatTimeout{0};
    std::atomic<int> m_serverHeartbeat{0};
    std::atomic<int> m_reconnectAttemptTimeout{0};
    std::atomic<int> m_reconnectCheckTimeout{0};
    std::atomic<int> m_cancelConnect{0};
    std::atomic<int> m_promptState{0};
    std::atomic<int> m_isStopped{1};
    std::atomic<int> m_stopping{0};
    std::atomic<int> m_reconnectAvailable{0};
    std::atomic<int> m_floppyReversed{0};
    std::atomic<int> m_readOnlySession{0};
    std::atomic<int> m_cancelReconnect{0};
    std::atomic<int> m_reconnecting{0};
    std::atomic<int> m_reconnectOutcomeClaimed{0};
    std::atomic<int> m_secure{0};
    std::atomic<int> m_waitingForVDiskInfoResponse{0};
    std::atomic<int> m_startThreadsPending{0};
    std::atomic<int> m_otpRequested{0};
    std::atomic<int> m_connectDone{0};
    std::atomic<int> m_loginRefused{0};
    std::atomic<int> m_connectAttempted{0};
    std::atomic<int64_t> m_vdiskInfoRequestTime{0};
    std::atomic<int> m_numMaps{0};
    std::atomic<int64_t> m_lastSendTime{0};
    std::atomic<int64_t> m_lastReceiveTime{0};

    // Borrowed.
    SessionHost* m_vmAPI;
    VMDriveList* m_driveList;
    // Set when the session keeps its drive list itself.
    std::shared_ptr<VMDriveList> m_ownedDriveList;
    VMServerImageList* m_serverImageList;
    // The settings copy of the current connect; the copies of earlier
    // connects of this object stay until it goes (set-up objects point at them).
    std::atomic<VMConnectionInfo*> m_connectionInfo{nullptr};
    std::vector<std::unique_ptr<VMConnectionInfo>> m_settingsCopies;

    std::unique_ptr<ServerImageManager> m_serverImageManager;
    std::unique_ptr<RequestProcessor> m_requestProcessor;

    // Certificate prompt.
    std::atomic<CertificatePrompt*> m_certPrompt{nullptr};
    std::unique_ptr<ASemaphore> m_certSem;
    std::atomic<int> m_certResponse{0};
    std::atomic<int> m_connectTimeout{30};
    // SHA-256 of the certificate the user accepted last (empty: none): a
    // reconnection that meets that very certificate is not asked again.
    std::mutex m_acceptedCertMutex;
    std::string m_acceptedCert;

    // Session-setup object and socket.
    std::mutex m_tuvoMutex;
    std::shared_ptr<ProtocolTUVO> m_tuvo;
    // Published once set-up has succeeded; shares ownership of m_tuvo.
    std::shared_ptr<ASocket> m_socket;
    std::vector<std::shared_ptr<ProtocolTUVO>> m_retiredTuvos;
    // The set-up object of the reconnection attempt under way (null between
    // attempts), so that a cancel or a stop reaches it.
    std::shared_ptr<ProtocolTUVO> m_attemptTuvo;
    std::shared_ptr<ByteStream> m_testStream;
    std::function<void()> m_testStreamClose;

    std::atomic<int> m_sessionId{-1};
    std::atomic<int> m_reconnectMethod{0};

    // Threads. The send and receive threads live as long as the session;
    // the others are created on demand under m_threadMutex and deleted only
    // by the destructor (the cancel-connect thread also by the next connect).
    std::unique_ptr<SendThread> m_sendThread;
    std::unique_ptr<ReceiveThread> m_receiveThread;
    std::mutex m_threadMutex;
    std::unique_ptr<HeartBeatThread> m_heartBeatThread;
    std::unique_ptr<ReconnectThread> m_reconnectThread;
    std::unique_ptr<FindDrivesThread> m_findDrivesThread;
    std::unique_ptr<WatchDriveThread> m_watchDriveThread;
    std::unique_ptr<CancelConnectThread> m_cancelConnectThread;

    ASemaphore m_SessIDSem{true};
    ASemaphore m_OTPSem{true};
    ASemaphore m_CTRSem{true};

    std::atomic<Callback> m_vmSessionCallback{nullptr};
    std::atomic<Callback> m_driveCallback{nullptr};
    std::atomic<Callback> m_serverImageCallback{nullptr};
    std::atomic<Callback> m_certificateCallback{nullptr};
    std::atomic<Callback> m_plainConnectionCallback{nullptr};

    // Guards m_sessionStatus and the one-time credentials.
    std::mutex m_stateMutex;
    std::unique_ptr<VMSessionStatus> m_sessionStatus;
    std::atomic<uint64_t> m_statusGeneration{0};
    std::atomic<uint64_t> m_driveListUpdates{0};
    std::optional<std::string> m_otpUser;
    std::optional<std::string> m_otpPassword;

    std::recursive_mutex m_mappingMutex;
};
