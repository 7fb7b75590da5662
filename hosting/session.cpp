#include "hosting/session.h"

#include <chrono>
#include <cstdio>

#include "hosting/dorvak.h"
#include "hosting/driver_output.h"

namespace kivhost {
namespace {

bool IsBitOperand(const DriverAddress& address)
{
    return address.operand != 'W';
}

}  // namespace

Session::Session(KivMainFn entry, DriverOutput& output) : entry_(entry), output_(output)
{
    channel_.assign((sizeof(ChannelBlock) + 7) / 8, 0);
    DorvakSetSink(&Session::Sink, this);
}

Session::~Session()
{
    DorvakSetSink(nullptr, nullptr);
}

void Session::Sink(int32_t level, const char* text, void* context)
{
    auto* session = static_cast<Session*>(context);
    if (session->probing_)
        return;
    // Whatever the driver printed before this line comes first.
    session->lastTrace_ += session->output_.Collect();
    session->lastLog_.push_back({level, text});
    session->output_.ShowLog(level, text);
}

int32_t Session::Call(uint32_t code, void* params)
{
    DriverRequest request{};
    request.channel = &Channel();
    request.code = code;
    request.params = params;
    lastTrace_.clear();
    lastLog_.clear();
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = entry_(&request);
    lastMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    lastTrace_ += output_.Collect();
    output_.CallEnded();
    reader_.Feed(lastTrace_);
    reader_.Finish();
    lastExchanges_.clear();
    for (TraceExchange exchange; reader_.NextExchange(&exchange);)
        lastExchanges_.push_back(std::move(exchange));
    return result;
}

int32_t Session::GetInfo(DriverInfoBlock* info)
{
    *info = DriverInfoBlock{};
    const int32_t result = Call(CMD_GET_KIV_INFO, info);
    // The host provides as much as the driver asks for, never less than the record.
    if (result == SUCCESS && info->channelBlockSize > sizeof(ChannelBlock) && info->channelBlockSize < (1u << 20))
        channel_.assign((info->channelBlockSize + 7) / 8, 0);
    return result;
}

int32_t Session::ColdStart(const LineOptions& line, bool enable)
{
    ColdStartBlock block{};
    std::snprintf(block.portName, sizeof block.portName, "%s", line.port.c_str());
    block.enable = enable ? 1 : 0;
    block.timeout = line.timeoutUnits;
    block.settings = {line.baud, line.dataBits, line.stopBits, line.parity};
    return Call(CMD_COLD_START, &block);
}

namespace {

AddressParseBlock ParseBlock(const std::string& text, uint32_t tagType, int32_t count)
{
    AddressParseBlock parse{};
    parse.text = text.c_str();
    parse.tagType = tagType;
    parse.count = count;
    return parse;
}

uint32_t ParserCode(bool block)
{
    return block ? CMD_BLOCK_ADDRESS_PARSER : CMD_SINGLE_ADDRESS_PARSER;
}

}  // namespace

int32_t Session::Parse(const std::string& text, bool block, uint32_t tagType, int32_t count, DriverAddress* address)
{
    AddressParseBlock parse = ParseBlock(text, tagType, count);
    const int32_t result = Call(ParserCode(block), &parse);
    *address = parse.address;
    return result;
}

int32_t Session::ProbeParse(const std::string& text, bool block, uint32_t tagType, int32_t count,
                            DriverAddress* address)
{
    AddressParseBlock parse = ParseBlock(text, tagType, count);
    DriverRequest request{};
    request.channel = &Channel();
    request.code = ParserCode(block);
    request.params = &parse;
    probing_ = true;
    const int32_t result = entry_(&request);
    probing_ = false;
    *address = parse.address;
    return result;
}

std::vector<uint16_t> PackValues(const DriverAddress& address, const std::vector<uint16_t>& elements)
{
    const size_t count = elements.size();
    if (count == 1)
        return {0, elements[0]};  // a single value travels in element 1
    if (!IsBitOperand(address))
        return elements;
    std::vector<uint16_t> array(count / 16 + 2, 0);
    for (size_t i = 0; i < count; ++i)
        if (elements[i] & 1)
            array[i / 16] = static_cast<uint16_t>(array[i / 16] | (1u << (i % 16)));
    return array;
}

std::vector<uint16_t> UnpackValues(const DriverAddress& address, int32_t count, const std::vector<uint16_t>& array)
{
    if (count == 1)
        return {array[1]};
    std::vector<uint16_t> elements;
    for (int32_t i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i);
        if (IsBitOperand(address))
            elements.push_back(static_cast<uint16_t>((array[at / 16] >> (at % 16)) & 1));
        else
            elements.push_back(array[at]);
    }
    return elements;
}

int32_t Session::Read(const DriverAddress& address, int32_t count, std::vector<uint16_t>* elements)
{
    IoBlock io{};
    io.address = address;
    io.count = count;
    // Room for a run of words, and for element 1 of a single value.
    std::vector<uint16_t> array(static_cast<size_t>(count) + 2, 0);
    io.values = array.data();
    const int32_t result = Call(count == 1 ? CMD_SINGLE_READ : CMD_BLOCK_READ, &io);
    elements->clear();
    if (result == SUCCESS)
        *elements = UnpackValues(address, count, array);
    return result;
}

int32_t Session::Write(const DriverAddress& address, const std::vector<uint16_t>& elements)
{
    IoBlock io{};
    io.address = address;
    io.count = static_cast<int32_t>(elements.size());
    std::vector<uint16_t> array = PackValues(address, elements);
    io.values = array.data();
    return Call(elements.size() == 1 ? CMD_SINGLE_WRITE : CMD_BLOCK_WRITE, &io);
}

int32_t Session::End()
{
    return Call(CMD_END_KIV, nullptr);
}

int32_t Session::ReOpenPort()
{
    return Call(CMD_REOPEN_COM, nullptr);
}

}  // namespace kivhost
