// Serving the server's block reads and writes and its table-of-contents
// requests. Everything a request touches is looked up and used under the
// session's mapping lock, so no other thread can close or remap the drive
// while its handle is in use; callbacks run after the lock is let go.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>

#include "api/VMConstants.h"
#include "api/VMRemoteDrive.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "protocol/ClientStatusMessage.h"
#include "protocol/PacketBytes.h"
#include "protocol/ReadRequest.h"
#include "protocol/ReadResponse.h"
#include "protocol/VDiskGetAlternateTocData.h"
#include "protocol/VDiskWrite.h"
#include "session/ReadAnswer.h"
#include "session/SendThread.h"
#include "session/RequestProcessor.h"
#include "session/SessionHost.h"
#include "session/ZELKSession.h"

namespace {

constexpr uint32_t kChunk = 0x8000;
constexpr uint32_t kStatusRefused = 7;
// How often a read waiting for its last piece to be written looks at the session.
constexpr int64_t PIECE_WAIT_STEP_MS = 50;

// Blocks of the view the server is given: the partition of a floppy view,
// else the whole medium (a CD/DVD has no geometry view at all).
unsigned viewBlocks(const VMLocalDrive& ld) { return ld.getMapAsFloppy() ? ld.getBlocks() : ld.getNumberOfBlocks(); }

bool isScsiType(int type) {
    return type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE || type == VMLocalDrive::LOCAL_DRIVE_IS_CD;
}

bool isCdType(int type) {
    return type == VMLocalDrive::LOCAL_DRIVE_IS_CD || type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
}

// Where the data of one read request sits in its answer: packets of
// perPacket blocks, each behind its 20-byte head.
struct AnswerLayout {
    uint64_t blockSize;
    uint64_t perPacket;

    uint64_t packetBytes() const { return perPacket * blockSize; }
    uint64_t stride() const { return ReadAnswer::RESPONSE_HEADER + packetBytes(); }
    // Wire offset of data byte d.
    uint64_t wireOffset(uint64_t d) const {
        const uint64_t k = d / packetBytes();
        return k * stride() + ReadAnswer::RESPONSE_HEADER + (d - k * packetBytes());
    }
    // Bytes left in the packet that holds data byte d.
    uint64_t roomAt(uint64_t d) const { return packetBytes() - d % packetBytes(); }
    uint64_t packetsFor(uint64_t blocks) const { return (blocks + perPacket - 1) / perPacket; }
    uint64_t wireBytes(uint64_t blocks) const {
        return packetsFor(blocks) * ReadAnswer::RESPONSE_HEADER + blocks * blockSize + ReadAnswer::STATUS_SIZE;
    }
};

void writeStatus(uint8_t* at, int deviceIndex, uint32_t status) {
    ClientStatusMessage message(deviceIndex, int(status));
    message.writeHeader(at);
    message.writeBody(at + ZELKPacket::HEADER_SIZE);
}

}  // namespace

void RequestProcessor::process(ReadRequest& packet) {
    const char* who = "RequestProcessor::process(ReadRequest):";
    const int connection = m_vmAPI != nullptr ? m_vmAPI->getConnectionStatus() : VMConstants::VMAPI_DISCONNECTED;
    LogMessage("%s connectionStatus %d\n", who, connection);
    if (!isConnectedStatus(connection)) {
        LogMessage("%s ReadRequest packet not processed, not connected.\n", who);
        return;
    }
    if (m_driveList == nullptr) {
        LogMessage("%s invalid VMDriveList\n", who);
        return;
    }
    const int index = packet.getDeviceIndex();
    bool progress = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
        VMRemoteDrive* rd = m_session->remoteDriveForRequest(index);
        if (rd == nullptr) {
            // Refused like an unmapped drive: the server waits for an answer.
            LogMessage("%s Read request for unknown or unmapped vdisk with id: %i\n", who, index);
            sendClientStatus(index, kStatusRefused);
            return;
        }
        const int mappedTo = rd->getMappedTo();
        const int remoteId = rd->getDriveId();
        if (rd->getStatus() != VMRemoteDrive::REMOTE_DRIVE_ATTACHED || mappedTo == -1) {
            LogMessage("%s Read request for unknown or unmapped vdisk with id: %i\n", who, remoteId);
            sendClientStatus(remoteId, kStatusRefused);
            m_driveList->releaseRemoteDrive(rd);
            return;
        }
        VMLocalDrive* ld = mappedTo < 0 ? nullptr : m_driveList->getLocalDriveByID(mappedTo);
        if (ld == nullptr) {
            if (mappedTo < 0)
                LogMessage("%s Read request for unmapped drive: %i\n", who, remoteId);
            else
                LogMessage("%s Read request for deleted drive: %i\n", who, remoteId);
            m_driveList->setLastRemoteAction(VMDriveList::DRIVE_ERROR);
            sendClientStatus(remoteId, kStatusRefused);
            m_driveList->releaseRemoteDrive(rd);
            return;
        }
        progress = serveRead(packet, *rd, *ld);
        m_driveList->releaseRemoteDrive(rd);
        m_driveList->releaseLocalDrive(ld);
    }
    if (progress) {
        m_session->callDriveCallback(VMConstants::DRIVE_LIST_UPDATE);
        m_lastReadCallback.store(ZELKSession::nowSeconds());
    }
}

bool RequestProcessor::serveRead(ReadRequest& packet, VMRemoteDrive& rd, VMLocalDrive& ld) {
    const char* who = "RequestProcessor::process(ReadRequest):";
    const int remoteId = rd.getDriveId();
    const uint64_t blockSize = ld.getBlockSize();
    const uint64_t count = packet.getBlockCount();
    const uint64_t start = packet.getStartBlock();
    const uint64_t position = start + ld.getLBAStart();
    const uint32_t maxBlocks = packet.getMaxBlocks();
    LogMessage("%s passed all checks...now reading\n", who);
    LogMessage("%s Reading %i blocks at offset %i with bs=%i and max blocks=%i\n", who, int(count), int(position),
               int(blockSize), int(maxBlocks));
    if (count == 0) {
        m_driveList->setLastRemoteAction(VMDriveList::DRIVE_READ_ERROR);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    }
    // Only the mapped view is served: the partition of a floppy view, else
    // the whole medium.
    if (blockSize == 0 || start + count > viewBlocks(ld)) {
        // Refused, not failed: the drive itself is fine, so nothing is
        // reported as a drive error (which would end a console session).
        LogMessage("%s Read of %i blocks at %i is outside the drive (%u blocks)\n", who, int(count), int(start),
                   viewBlocks(ld));
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    }
    const uint64_t total = count * blockSize;
    uint64_t bytesRead = 0;
    uint32_t status = 0;
    try {
        // Packets of at most the server's maximum, and small enough that one
        // fits in a piece beside the status; a piece is whole packets.
        const uint64_t pieceBytes = m_readPieceBytes.load();
        const uint64_t overhead = ReadAnswer::RESPONSE_HEADER + ReadAnswer::STATUS_SIZE;
        const uint64_t fitting = pieceBytes > overhead ? (pieceBytes - overhead) / blockSize : 0;
        const uint64_t perPacket =
            std::max<uint64_t>(1, std::min<uint64_t>(maxBlocks == 0 ? count : std::min<uint64_t>(count, maxBlocks),
                                                     fitting));
        const AnswerLayout layout{blockSize, perPacket};
        const uint64_t packetsPerPiece =
            std::max<uint64_t>(1, pieceBytes > ReadAnswer::STATUS_SIZE
                                      ? (pieceBytes - ReadAnswer::STATUS_SIZE) / layout.stride()
                                      : 0);
        const uint64_t pieceBlocks = packetsPerPiece * perPacket;
        // Every response carries the position after the read. A read in one
        // piece tells the position it reached; the first pieces of a longer
        // one leave before the rest is read, so all of its responses tell the
        // position it is to reach (a failure is still told by status 2).
        const bool inPieces = count > pieceBlocks;
        const bool scsi = isScsiType(ld.getLocalDriveType());
        const VMIO::Handle handle = ld.getFileHandle();
        const std::shared_ptr<ByteStream> stream = m_session->getStream();
        // Pass-through commands go in chunks of kChunk; a positioned read
        // fills a whole answer packet at once. After a failed read the rest
        // goes in chunks too, so a medium error loses no more data than a
        // chunked read would have.
        bool chunked = scsi;
        bool abandoned = false;
        uint64_t bytesSent = 0;
        for (uint64_t first = 0; !abandoned;) {
            const uint64_t blocks = std::min(pieceBlocks, count - first);
            const uint64_t pieceTotal = blocks * blockSize;
            auto piece = std::make_unique<ReadAnswer>();
            uint8_t* wire = piece->reserve(size_t(layout.wireBytes(blocks)));
            uint64_t done = 0;  // bytes of this piece
            while (done < pieceTotal) {
                const uint64_t limit = chunked ? kChunk : pieceTotal;
                const uint32_t chunk = uint32_t(std::min<uint64_t>({pieceTotal - done, limit, layout.roomAt(done)}));
                uint8_t* into = wire + layout.wireOffset(done);
                const uint64_t at = bytesRead + done;
                int64_t n;
                if (scsi) {
                    n = VMIO::ReadSectors(handle, chunk, uint32_t(blockSize), uint32_t(position + at / blockSize), into);
                    // Block-addressed: only whole blocks count as progress.
                    n -= n % int64_t(blockSize);
                } else {
                    n = VMIO::ReadDriveEx(handle, position * blockSize + at, chunk, into);
                    if (n <= 0 && !chunked && chunk > kChunk) {
                        chunked = true;
                        continue;
                    }
                }
                if (n <= 0) {
                    LogMessage("%s ## READ FAILED: SENT STATUS <>0 ##\n", who);
                    m_driveList->setLastRemoteAction(VMDriveList::DRIVE_READ_ERROR);
                    m_driveList->setLastLocalAction(VMDriveList::DRIVE_IO);
                    ld.setLastError(VMDriveList::DRIVE_READ_ERROR);
                    status = 2;
                    break;
                }
                done += uint64_t(n);
            }
            bytesRead += done;
            const bool last = status != 0 || first + blocks >= count;
            const uint64_t pieceBlocksRead = done / blockSize;
            if (pieceBlocksRead * blockSize != done)
                LogMessage("%s dropping %d bytes after the last whole block\n", who,
                           int(done - pieceBlocksRead * blockSize));
            const uint32_t endValue = uint32_t(position + (inPieces ? count : bytesRead / blockSize));
            uint64_t end = 0;
            for (uint64_t k = 0, left = pieceBlocksRead; left > 0; ++k) {
                const uint64_t n = std::min(left, layout.perPacket);
                uint8_t* head = wire + k * layout.stride();
                ReadResponse response(remoteId);
                response.setLength(int(ReadAnswer::RESPONSE_HEADER + n * blockSize));
                response.writeHeader(head);
                WriteUInt32BE(endValue, head, ZELKPacket::HEADER_SIZE);
                WriteUInt32BE(uint32_t(n), head, ZELKPacket::HEADER_SIZE + 4);
                end = k * layout.stride() + ReadAnswer::RESPONSE_HEADER + n * blockSize;
                left -= n;
            }
            if (last) {
                if (isConnected()) {
                    writeStatus(wire + end, remoteId, status);
                    end += ReadAnswer::STATUS_SIZE;
                } else {
                    LogMessage("%s ClientStatusMessage not sent, not connected.\n",
                               "RequestProcessor::sendClientStatus:");
                }
            }
            if (end > 0) {
                piece->setUsed(size_t(end));
                if (handOverPiece(std::move(piece), first == 0, stream)) {
                    bytesSent += pieceBlocksRead * blockSize;
                    // A piece at a time: the counter takes an int.
                    rd.addReadBytes(int(pieceBlocksRead * blockSize));
                } else {
                    abandoned = true;
                }
            }
            if (last) break;
            first += blocks;
        }
        if (abandoned) {
            LogMessage("%s answer given up after %llu bytes\n", who, static_cast<unsigned long long>(bytesSent));
            return false;
        }
        if (status == 0) m_driveList->setLastRemoteAction(VMDriveList::DRIVE_IO);
    } catch (const char* text) {
        LogMessage("%s const Exception: %s\n", who, text);
        std::printf("%s\n", text);
        std::fflush(stdout);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    } catch (int code) {
        LogMessage("%s int Exception : %i\n", who, code);
        std::printf("Exception %i\n", code);
        std::fflush(stdout);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    } catch (unsigned int code) {
        LogMessage("%s unsigned int Exception : %i\n", who, int(code));
        std::printf("Exception: %i\n", int(code));
        std::fflush(stdout);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    } catch (const std::exception& e) {
        LogMessage("%s exception e : %s\n", who, e.what());
        std::printf("exception: %s\n", e.what());
        std::fflush(stdout);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    } catch (...) {
        LogMessage("%s ... Exception: %i\n", who, errno);
        sendClientStatus(remoteId, kStatusRefused);
        return false;
    }
    if (m_session->getDriveCallback() == nullptr) return false;
    const bool nearEnd = total - bytesRead <= kChunk;
    return nearEnd || ZELKSession::nowSeconds() - m_lastReadCallback.load() >= 1;
}

bool RequestProcessor::handOverPiece(std::unique_ptr<ReadAnswer> piece, bool first,
                                     const std::shared_ptr<ByteStream>& stream) {
    SendThread* sender = m_session->getSendThread();
    if (sender == nullptr || m_session->isStopping()) return false;
    if (!first) {
        // Waits as long as the server takes its data, but gives up when
        // nothing of this connection can be written any more: the session
        // stops, or a reconnection parks the send thread or replaces the
        // connection (the server asks again on the new one).
        while (!sender->waitAllSent(PIECE_WAIT_STEP_MS)) {
            if (m_session->isStopping() || sender->isSuspendRequested() || m_session->getStream() != stream)
                return false;
        }
    }
    if (m_session->isStopping() || m_session->getStream() != stream) return false;
    // Written from here when the send thread is idle: no hand-over.
    sender->sendNow(piece.release());
    return true;
}

void RequestProcessor::process(VDiskWrite& packet) {
    const char* who = "RequestProcessor::process(VDiskWrite):";
    if (!isConnected()) {
        LogMessage("%s VDiskWrite packet not processed, not connected.\n", who);
        return;
    }
    const int index = packet.getDeviceIndex();
    LogMessage("%s ----Process Write request for remote device: %i.\n", who, index);
    if (m_driveList == nullptr) return;
    const int remoteId = index;
    uint32_t status = kStatusRefused;
    {
        std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
        VMRemoteDrive* rd = m_session->remoteDriveForRequest(index);
        const int mappedTo = rd != nullptr ? rd->getMappedTo() : -1;
        VMLocalDrive* ld = nullptr;
        if (rd == nullptr || rd->getStatus() != VMRemoteDrive::REMOTE_DRIVE_ATTACHED || mappedTo == -1) {
            LogMessage("%s write request for unknown or unmapped vdisk with id: %i\n", who, remoteId);
        } else if (mappedTo < 0) {
            LogMessage("%s write request for unmapped drive: %i\n", who, remoteId);
        } else if ((ld = m_driveList->getLocalDriveByID(mappedTo)) == nullptr) {
            // The server still waits for an answer.
            LogMessage("%s write request for deleted drive: %i\n", who, remoteId);
        } else {
            status = serveWrite(packet, *rd, *ld);
            m_driveList->releaseLocalDrive(ld);
        }
        if (rd != nullptr) m_driveList->releaseRemoteDrive(rd);
    }
    sendClientStatus(remoteId, status);
    if (m_session->getDriveCallback() != nullptr &&
        ZELKSession::nowSeconds() - m_lastWriteCallback.load() >= 1) {
        m_session->callDriveCallback(VMConstants::DRIVE_LIST_UPDATE);
        m_lastWriteCallback.store(ZELKSession::nowSeconds());
    }
}

uint32_t RequestProcessor::serveWrite(VDiskWrite& packet, VMRemoteDrive& rd, VMLocalDrive& ld) {
    const char* who = "RequestProcessor::process(VDiskWrite):";
    const int type = ld.getLocalDriveType();
    // The user's read-only choice, the medium and the kind of drive all
    // have to allow it.
    if (!ld.isWritable() || ld.isInReadOnlyMode() || isCdType(type) || ld.getFileHandle() == VMIO::INVALID_HANDLE) {
        LogMessage("%s write request for read only drive: %i\n", who, rd.getDriveId());
        return kStatusRefused;
    }
    const uint64_t blockSize = ld.getBlockSize();
    const uint64_t count = packet.getBlockCount();
    const uint64_t start = packet.getStartBlock();
    const uint64_t position = start + ld.getLBAStart();
    LogMessage("%s  writing at offset %i, no of blocks %i with bs=%i \n", who, int(position), int(count),
               int(blockSize));
    const uint64_t bytes = count * blockSize;
    if (blockSize == 0 || count == 0 || start + count > viewBlocks(ld)) {
        LogMessage("%s write of %i blocks at %i is outside the drive (%u blocks)\n", who, int(count), int(start),
                   viewBlocks(ld));
        return kStatusRefused;
    }
    if (uint64_t(packet.getDataLength()) < bytes || packet.getData() == nullptr) {
        LogMessage("%s write request carries %d bytes for %d blocks\n", who, packet.getDataLength(), int(count));
        return kStatusRefused;
    }
    const uint8_t* data = packet.getData();
    uint64_t written = 0;
    if (type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE) {
        // WriteSectors splits by command; keep going until all is written or
        // a call makes no progress.
        while (written < bytes) {
            const uint32_t chunk = uint32_t(std::min<uint64_t>(bytes - written, kChunk));
            int n = VMIO::WriteSectors(ld.getFileHandle(), chunk, uint32_t(blockSize),
                                       uint32_t(position + written / blockSize), data + written);
            n -= n % int(blockSize);
            if (n <= 0) break;
            written += uint64_t(n);
        }
    } else {
        while (written < bytes) {
            const uint32_t n = VMIO::WriteDriveEx(ld.getFileHandle(), position * blockSize + written,
                                                  uint32_t(std::min<uint64_t>(bytes - written, 1u << 30)),
                                                  data + written);
            if (n == 0) break;
            written += n;
        }
    }
    if (written == bytes) {
        rd.addWriteBytes(int(bytes));
        m_driveList->setLastRemoteAction(VMDriveList::DRIVE_IO);
        m_driveList->setLastLocalAction(VMDriveList::DRIVE_IO);
        return 0;
    }
    if (written > 0) return 0xFFFFFFFFu;
    LogMessage("%s ## WRITE FAILED: SENT STATUS <>0 ##\n", who);
    m_driveList->setLastRemoteAction(VMDriveList::DRIVE_WRITE_ERROR);
    m_driveList->setLastLocalAction(VMDriveList::DRIVE_IO);
    ld.setLastError(VMDriveList::DRIVE_WRITE_ERROR);
    return 3;
}

void RequestProcessor::process(VDiskGetAlternateTocData& packet) {
    const char* who = "RequestProcessor::process(VDiskGetAlternateTocData):";
    if (!isConnected()) {
        LogMessage("%s VDiskGetAlternateTocData packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s vDiskID=%i.\n", who, packet.getDeviceIndex());
    LogMessage("%s MSF=%i.\n", who, packet.getMsf());
    LogMessage("%s Format=%i.\n", who, packet.getFormat());
    LogMessage("%s Track=%i.\n", who, packet.getTrack());
    m_session->sendVDiskAlternateTocData(packet.getDeviceIndex(), packet.getMsf(), packet.getFormat(),
                                         packet.getTrack());
}

void RequestProcessor::sendClientStatus(int deviceIndex, uint32_t status) {
    if (!isConnected()) {
        LogMessage("%s ClientStatusMessage not sent, not connected.\n", "RequestProcessor::sendClientStatus:");
        return;
    }
    m_session->sendPacket(new ClientStatusMessage(deviceIndex, int(status)));
}
