#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

class ByteStream;
class DeviceConfigurationOption;
class DeviceStatus;
class Disconnect;
class Heartbeat;
class LoginResponse;
class OTPResponse;
class ReadAnswer;
class ReadRequest;
class ServerImageCreateResponse;
class ServerImageDataResponse;
class ServerImageInfoResponse;
class ServerImageSpaceResponse;
class SessionHost;
class SessionIdResponse;
class SetDeviceCountResponse;
class VDiskGetAlternateTocData;
class VDiskInfo;
class VDiskRelease;
class VDiskWrite;
class VMDriveList;
class VMLocalDrive;
class VMRemoteDrive;
class ZELKPacket;
class ZELKSession;

// Turns every packet the receive thread read into its effect on the
// session, the drive lists and the application. Runs on the receive thread
// only, one packet at a time.
class RequestProcessor {
public:
    // Empty drive lists are asked for again at most this often per session.
    static constexpr int MAX_VDISK_INFO_RETRIES = 20;
    static constexpr int64_t VDISK_INFO_RETRY_WAIT_MS = 40;
    static constexpr int64_t DRIVE_LIST_SETTLE_MS = 200;
    // A read's answer is built and handed to the send thread in pieces of at
    // most this many wire bytes (whole ReadResponse packets; the last piece
    // also carries the status). A piece is read while the one before it is
    // written and handed over once that one is out, so a read of any size
    // holds about two pieces.
    static constexpr uint64_t READ_PIECE_BYTES = 4u * 1024u * 1024u;
    // Tests: smaller pieces (at least one block each).
    void setReadPieceBytes(uint64_t bytes) { m_readPieceBytes.store(bytes); }

    RequestProcessor(SessionHost* vmAPI, ZELKSession* session, VMDriveList* driveList);
    virtual ~RequestProcessor();
    RequestProcessor(const RequestProcessor&) = delete;
    RequestProcessor& operator=(const RequestProcessor&) = delete;

    // The connected-state gate and the dispatch; the caller keeps the packet.
    void process(ZELKPacket* packet);

    // One handler per received packet class.
    void process(Heartbeat& packet);
    void process(LoginResponse& packet);
    void process(SessionIdResponse& packet);
    void process(OTPResponse& packet);
    void process(Disconnect& packet);
    void process(VDiskInfo& packet);
    void process(VDiskRelease& packet);
    void process(SetDeviceCountResponse& packet);
    void process(ReadRequest& packet);
    void process(VDiskWrite& packet);
    void process(VDiskGetAlternateTocData& packet);
    void process(DeviceStatus& packet);
    void process(DeviceConfigurationOption& packet);
    void process(ServerImageInfoResponse& packet);
    void process(ServerImageSpaceResponse& packet);
    void process(ServerImageCreateResponse& packet);
    void process(ServerImageDataResponse& packet);

    // Answers a request for a device with a ClientStatusMessage.
    void sendClientStatus(int deviceIndex, uint32_t status);

    // The connection status allows packets (-2003, -2002 or -2001).
    bool isConnected() const;
    static bool isConnectedStatus(int connectionStatus);
    // Console text for a disconnect reason.
    static const char* disconnectReasonText(int reason);
    // Log text for a device status; unmap tells whether the device goes.
    static const char* deviceStatusText(uint32_t status, bool* unmap);
    // Login statuses that end reconnection.
    static bool isLoginFailureThatCancels(int status);
    // Remote drive type for a VDiskInfo entry type (0 when unknown).
    static int remoteTypeFor(int entryType, bool floppyReversed);

    int getVDiskInfoRetries() const { return m_vdiskInfoRetries.load(); }
    bool isRetryingVDiskInfo() const { return m_retryVDiskInfo.load(); }

private:
    // The data path, under the mapping lock: the read answers (true when a
    // progress callback is due); the write returns the client status.
    bool serveRead(ReadRequest& packet, VMRemoteDrive& rd, VMLocalDrive& ld);
    uint32_t serveWrite(VDiskWrite& packet, VMRemoteDrive& rd, VMLocalDrive& ld);
    // Hands one piece of a read answer to the send thread, after the piece
    // before it (unless first) has been written; false when the answer
    // cannot go on (stopping, or the connection it was asked on is gone).
    bool handOverPiece(std::unique_ptr<ReadAnswer> piece, bool first, const std::shared_ptr<ByteStream>& stream);

    SessionHost* m_vmAPI;
    ZELKSession* m_session;
    VMDriveList* m_driveList;
    std::atomic<bool> m_retryVDiskInfo{true};
    std::atomic<int> m_vdiskInfoRetries{0};
    std::atomic<int64_t> m_lastReadCallback{0};
    std::atomic<int64_t> m_lastWriteCallback{0};
    std::atomic<uint64_t> m_readPieceBytes{READ_PIECE_BYTES};
};
