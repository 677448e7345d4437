#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ExporterTable.h"
#include "IdUDPServer.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "WindowUpdates.h"

// Number of datagram handler calls running (unit Main). Set to 0 at start-up; afterwards only the
// listener thread touches it, and it delivers datagrams one at a time.
extern std::int32_t gThreadCount;

// The body of TForm1.UDPServerUDPRead: decodes one datagram, shows its header and records through
// WindowUpdates and appends every flow to the day's CSV file. Runs on the listener thread and never
// touches a widget; lets no error escape.
class DatagramHandler {
public:
    explicit DatagramHandler(WindowUpdates& Window, std::unique_ptr<netflowlib::PacketTraceSink> TraceSink = nullptr);
    ~DatagramHandler();

    void UDPServerUDPRead(TIdMemoryStream& AData, const TIdSocketHandle& ABinding);
    // The same for a datagram given as bytes, as the listener's stream holds them.
    void HandleDatagram(const char* Data, std::size_t Size, const std::string& SenderIP);

    // Test seam: called before each record of the per-record loop is shown and written, with its
    // slot number; a throwing hook stands for any failure inside the loop.
    std::function<void(int Slot)> BeforeRecordForTesting;

    // Every datagram is counted there once its header is decoded; none while unset.
    void FeedExporters(ExporterTable* Table) { Exporters_ = Table; }

private:
    void Body(const char* Data, std::size_t Size, const std::string& SenderIP);
    void ShowHeader(const netflowlib::tNetflowHeader& Header, std::size_t PacketLength);
    void WriteV5Records(int Count);
    void WriteV9Records(int Count);
    void AppendCsvLine(const std::string& Line);

    WindowUpdates& Window_;
    ExporterTable* Exporters_ = nullptr;
    std::unique_ptr<netflowlib::PacketTraceSink> TraceSink_;
    // Reused from datagram to datagram so that the slots' strings keep their buffers; every slot is
    // reset to its empty state before each datagram, exactly as fresh arrays would be.
    netflowlib::tNetflowV5Records V5Records_;
    netflowlib::tNetflowV9Records V9Records_;
    std::int64_t CsvDay_ = 0;
    std::string CsvFileName_;
    // Built anew for every record in the same buffers.
    std::string SrcAddrCaption_;
    std::string DisplayLine_;
    std::string CsvLine_;
};
