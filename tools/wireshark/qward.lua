-- Wireshark and tshark dissector for the Tavelo Q-ward reader's 8-byte packet protocol on its USB endpoints.
--
-- Use:   tshark -X lua_script:tools/wireshark/qward.lua -r trace.pcap -Y qward
--        wireshark -X lua_script:tools/wireshark/qward.lua trace.pcap
-- or copy the file into Wireshark's personal Lua plugins folder (Help > About > Folders).
--
-- Every packet is 8 bytes; byte 0 is its kind: 0 data, 1 command header (host to reader) or answer header (reader
-- to host), 2 reader-control request (host to reader) or card status (reader to host). A command header announces
-- how many data bytes follow in data packets of at most 6 bytes; an answer header announces the answer's data
-- the same way; after a cold or warm reset the reader sends the card's ATR in data packets. The dissector follows
-- each device's commands and answers in capture order to tell command data, answer data and ATR data apart.
--
-- The reader's interface is vendor-specific (class 0xFF) with interrupt endpoints; Wireshark learns the class
-- from the configuration descriptor in the capture. Captures that start after enumeration have no descriptor
-- (class unknown, 0xFFFF); the dissector takes those too.

local qward = Proto("qward", "Tavelo Q-ward reader protocol")

local packet_kinds = { [0] = "Data", [1] = "Header", [2] = "Control/status" }
local control_requests = {
    [0x01] = "Cold-reset request",
    [0x09] = "Card-status request",
    [0x0B] = "Power-down request",
    [0x15] = "Warm-reset request",
}
local commands = {
    [0x02] = "Reader version request",
    [0x07] = "Reader management command",
    [0x17] = "Abort command",
    [0x1F] = "Vendor command 0x1F",
    [0x21] = "Card APDU command",
    [0x2F] = "Vendor data command",
    [0x3F] = "Vendor command 0x3F",
    [0x41] = "Reader capability request",
    [0x42] = "PIN verification start",
    [0x44] = "Key poll",
    [0x45] = "PIN verification finish",
    [0x46] = "PIN abort",
}
local answer_kinds = {
    [2] = "PIN aborted",
    [3] = "Data",
    [5] = "Success",
    [6] = "Failure",
    [7] = "Failure, ends the answer",
    [8] = "Error",
    [15] = "Refused",
}
local card_states = { [0] = "No card", [1] = "Card present" }
local key_codes = {
    [0x00] = "Validation key ignored",
    [0x08] = "Backspace",
    [0x0A] = "Clear",
    [0x0D] = "Validation key",
    [0x0E] = "Entry time-out",
    [0x1B] = "Cancel key",
    [0x2B] = "Digit",
    [0x40] = "Entry ended",
}

local f = qward.fields
f.kind = ProtoField.uint8("qward.kind", "Packet kind", base.DEC, packet_kinds)
f.type = ProtoField.string("qward.type", "Packet type")
f.count = ProtoField.uint8("qward.count", "Byte count", base.DEC)
f.request = ProtoField.uint8("qward.request", "Control request", base.HEX, control_requests)
f.parameter = ProtoField.uint8("qward.parameter", "Parameter", base.HEX)
f.command = ProtoField.uint8("qward.command", "Command", base.HEX, commands)
f.length = ProtoField.uint16("qward.length", "Data length", base.DEC)
f.apdu_case = ProtoField.uint8("qward.apdu_case", "APDU case", base.DEC)
f.answer_kind = ProtoField.uint8("qward.answer_kind", "Answer kind", base.DEC, answer_kinds)
f.answer_length = ProtoField.uint16("qward.answer_length", "Answer data length", base.DEC)
f.status_code = ProtoField.uint8("qward.status_code", "Status code", base.HEX)
f.card_status = ProtoField.uint8("qward.card_status", "Card status", base.DEC, card_states)
f.data = ProtoField.bytes("qward.data", "Data")
f.piece = ProtoField.string("qward.piece", "Piece")
f.of_command = ProtoField.uint8("qward.of_command", "Belongs to command", base.HEX, commands)
f.error_code = ProtoField.uint8("qward.error_code", "Reader error code", base.HEX)
f.key = ProtoField.uint8("qward.key", "Key event", base.HEX, key_codes)

local direction_field = Field.new("usb.endpoint_address.direction")
local device_field = Field.new("usb.device_address")
local bus_field = Field.new("usb.bus_id")

-- Per device: the command whose data is still coming, the answer whose data is still coming, and whether a reset
-- made the reader send ATR bytes. Filled on the first pass; each frame keeps what it was decoded with.
local devices = {}
local frames = {}

local function device_state(key)
    local state = devices[key]
    if not state then
        state = { command = nil, last_command = 0, answer = nil, atr = false }
        devices[key] = state
    end
    return state
end

local function pieces(length) return math.floor((length + 5) / 6) end

function qward.init()
    devices = {}
    frames = {}
end

-- Works out what a packet is from what came before it, once per frame, in capture order.
local function classify(tvb, pinfo, to_reader, key)
    local known = frames[pinfo.number]
    if known then return known end
    local state = device_state(key)
    local kind = tvb(0, 1):uint()
    local info = { kind = kind, to_reader = to_reader }
    if to_reader then
        if kind == 2 then
            local code = tvb(1, 1):uint()
            info.type = "Control request"
            state.command = nil
            state.answer = nil
            state.atr = (code == 0x01 or code == 0x15)
        elseif kind == 1 then
            local code = tvb(2, 1):uint()
            local length = tvb(3, 2):le_uint()
            info.type = "Command header"
            state.atr = false
            state.answer = nil
            state.last_command = code
            if length > 0 then
                state.command = { code = code, length = length, received = 0, packets = pieces(length), packet = 0 }
            else
                state.command = nil
            end
        elseif kind == 0 then
            local c = state.command
            if c then
                c.packet = c.packet + 1
                c.received = c.received + tvb(1, 1):uint()
                info.type = "Command data"
                info.of_command = c.code
                info.piece = c.packet .. "/" .. c.packets
                if c.received >= c.length or c.packet >= c.packets then state.command = nil end
            else
                info.type = "Data"
            end
        else
            info.type = "Unknown"
        end
    else
        if kind == 2 then
            if tvb(1, 1):uint() == 0x81 then
                info.type = "Card status"
                if tvb(2, 1):uint() ~= 1 then
                    state.answer = nil
                    state.atr = false
                end
            else
                info.type = "Reader status"
            end
        elseif kind == 1 then
            local count = tvb(1, 1):uint()
            local answer_kind = tvb(2, 1):uint()
            local length = 0
            if count >= 2 then length = tvb(3, 1):uint() end
            if count >= 3 then length = length + tvb(4, 1):uint() * 256 end
            info.type = "Answer header"
            info.of_command = state.last_command
            if count == 0 or count > 6 then
                info.invalid = true
                state.answer = nil
            elseif state.answer and state.answer.received < state.answer.length and
                (answer_kind == 7 or answer_kind == 15) then
                info.ends_answer = true
                state.answer = nil
            else
                info.length = length
                state.atr = false
                if length > 0 then
                    state.answer = { kind = answer_kind, length = length, received = 0, packets = pieces(length),
                                     packet = 0, command = state.last_command }
                else
                    state.answer = nil
                end
            end
        elseif kind == 0 then
            local a = state.answer
            if a then
                a.packet = a.packet + 1
                a.received = a.received + tvb(1, 1):uint()
                info.type = "Answer data"
                info.of_command = a.command
                info.answer_kind = a.kind
                info.first = (a.packet == 1)
                info.piece = a.packet .. "/" .. a.packets
                if a.received >= a.length or a.packet >= a.packets then state.answer = nil end
            elseif state.atr then
                info.type = "ATR data"
            else
                info.type = "Data"
            end
        else
            info.type = "Unknown"
        end
    end
    frames[pinfo.number] = info
    return info
end

function qward.dissector(tvb, pinfo, tree)
    if tvb:len() < 2 then return 0 end
    local direction = direction_field()
    if not direction then return 0 end
    local to_reader = direction.value == 0
    local device = device_field()
    local bus = bus_field()
    local key = (bus and bus.value or 0) * 256 + (device and device.value or 0)
    local info = classify(tvb, pinfo, to_reader, key)

    pinfo.cols.protocol = "QWARD"
    local subtree = tree:add(qward, tvb(0, math.min(tvb:len(), 8)), "Q-ward " .. info.type)
    subtree:add(f.kind, tvb(0, 1))
    subtree:add(f.type, info.type):set_generated()
    local summary = info.type
    local kind = info.kind

    if kind == 2 and to_reader then
        local code = tvb(1, 1):uint()
        subtree:add(f.request, tvb(1, 1))
        if tvb:len() > 2 then subtree:add(f.parameter, tvb(2, 1)) end
        summary = (control_requests[code] or string.format("Control request 0x%02X", code))
    elseif kind == 2 then
        subtree:add(f.status_code, tvb(1, 1))
        if info.type == "Card status" and tvb:len() > 2 then
            subtree:add(f.card_status, tvb(2, 1))
            summary = "Card status: " .. (tvb(2, 1):uint() == 1 and "card present" or "no card")
        else
            summary = string.format("Reader status 0x%02X", tvb(1, 1):uint())
        end
    elseif kind == 1 and to_reader then
        local code = tvb(2, 1):uint()
        local length = tvb(3, 2):le_uint()
        subtree:add(f.count, tvb(1, 1))
        subtree:add(f.command, tvb(2, 1))
        subtree:add_le(f.length, tvb(3, 2))
        summary = "Command header: " .. (commands[code] or string.format("command 0x%02X", code)) ..
                  string.format(" (0x%02X), %d data bytes", code, length)
        if code == 0x21 then
            subtree:add(f.apdu_case, tvb(5, 1))
            summary = summary .. ", case " .. tvb(5, 1):uint()
        end
    elseif kind == 1 then
        local answer_kind = tvb(2, 1):uint()
        subtree:add(f.count, tvb(1, 1))
        subtree:add(f.answer_kind, tvb(2, 1))
        if info.of_command then subtree:add(f.of_command, info.of_command):set_generated() end
        summary = "Answer header: " .. (answer_kinds[answer_kind] or ("kind " .. answer_kind))
        if info.invalid then
            summary = summary .. " (invalid count)"
        elseif info.ends_answer then
            summary = summary .. ", ends the answer"
        else
            subtree:add(f.answer_length, info.length):set_generated()
            summary = summary .. ", " .. info.length .. " data bytes"
            if commands[info.of_command] then summary = summary .. ", to the " .. commands[info.of_command] end
        end
    elseif kind == 0 then
        local count = tvb(1, 1):uint()
        subtree:add(f.count, tvb(1, 1))
        local shown = math.min(count, tvb:len() - 2)
        if shown > 0 then subtree:add(f.data, tvb(2, shown)) end
        if info.piece then subtree:add(f.piece, info.piece):set_generated() end
        if info.of_command then subtree:add(f.of_command, info.of_command):set_generated() end
        summary = info.type .. ", " .. count .. " bytes"
        if info.piece then summary = summary .. " (" .. info.piece .. ")" end
        if info.type == "Answer data" and info.first and shown > 0 then
            if info.answer_kind == 8 then
                subtree:add(f.error_code, tvb(2, 1))
                summary = summary .. string.format(", reader error 0x%02X", tvb(2, 1):uint())
            elseif info.of_command == 0x44 and info.answer_kind == 3 then
                subtree:add(f.key, tvb(2, 1))
                summary = summary .. ", key " .. (key_codes[tvb(2, 1):uint()] or string.format("0x%02X", tvb(2, 1):uint()))
            end
        end
    else
        summary = string.format("Unknown packet kind %d", kind)
    end
    pinfo.cols.info = summary
    subtree:append_text(": " .. summary)
    return tvb:len()
end

local interrupt = DissectorTable.get("usb.interrupt")
interrupt:add(0xFF, qward)    -- vendor-specific interface class
interrupt:add(0xFFFF, qward)  -- class unknown: no configuration descriptor in the capture
local bulk = DissectorTable.get("usb.bulk")
bulk:add(0xFF, qward)
bulk:add(0xFFFF, qward)
