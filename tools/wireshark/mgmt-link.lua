-- Wireshark dissector for the management link: the request, answer and
-- notice frames that the board firmware and the management controller
-- exchange as UDP broadcasts (requests and notices to port 60000, answers to
-- port 50000).
--
-- Load it for one run with   tshark -X lua_script:tools/wireshark/mgmt-link.lua -r link.pcap
-- or for good by copying it into the personal Lua plug-in folder
-- (~/.local/lib/wireshark/plugins/ on Linux; Help > About Wireshark >
-- Folders shows the one of your installation).
--
-- Requests pair with the answer that follows them (the link carries one
-- exchange at a time), and the chunks of an inventory upload are put
-- together again, so the document's JSON text can be read on the frame of
-- its last chunk. Frames whose lengths do not hold together, that are cut
-- short, or that name an item the link does not know are marked malformed.

local mgmtlink = Proto("mgmtlink", "Management link")

local REQUEST_PORT = 50000 -- source of requests, destination of answers
local LINK_PORT = 60000    -- destination of requests and notices
local NOTICE_MARKER = 0xA5A5
local REQUEST_MARKER = 0xB5B5
local SIGNATURE = 0x8117
local REQUEST_HEADER = 6 -- marker, signature, payload length
local NOTICE_HEADER = 10 -- and the 32-bit link tag
local CODE_SIZE = 4
local STATUS_SIZE = 2
local CHUNK_HEADER = 5
local CHUNK_HEADER_SIZE_FIELD = 5
local SLICE_MAX = 799
local WRITE_BIT = 0x20 -- in the item number

-- The configuration items: name, and the data a request carries (reads:
-- parameter bytes; writes: the value). `data = nil` means any length.
local ITEMS = {
  [0x02030000] = { name = "display mode", data = 0 },
  [0x02230000] = { name = "display mode", data = 1 },
  [0x02000000] = { name = "display-enable pair", data = 0 },
  [0x02200000] = { name = "display-enable pair", data = 2 },
  [0x02040000] = { name = "request word", data = 0 },
  [0x02240000] = { name = "request word (acknowledge)" },
  [0x01070000] = { name = "range option", data = 0 },
  [0x01270000] = { name = "range option", data = 1 },
  [0x01080000] = { name = "address range", data = 1 },
  [0x01280000] = { name = "address range", data = 9 },
  [0x01290000] = { name = "text item", data = 32 },
}

local DOCUMENTS = { [2] = "inventory", [3] = "UUID", [4] = "path", [5] = "model" }

local kinds = { request = "request", answer = "answer", notice = "notice" }

local f = mgmtlink.fields
f.kind = ProtoField.string("mgmtlink.kind", "Kind")
f.marker = ProtoField.uint16("mgmtlink.marker", "Frame-kind marker", base.HEX)
f.signature = ProtoField.uint16("mgmtlink.signature", "Link signature", base.HEX)
f.length = ProtoField.uint16("mgmtlink.length", "Payload length", base.DEC)
f.header_length = ProtoField.uint8("mgmtlink.header_length", "Header length", base.DEC)
f.tag = ProtoField.uint32("mgmtlink.tag", "Link tag", base.DEC)
f.item = ProtoField.uint32("mgmtlink.item", "Item", base.HEX)
f.item_group = ProtoField.uint8("mgmtlink.item.group", "Group", base.HEX)
f.item_number = ProtoField.uint8("mgmtlink.item.number", "Number", base.HEX)
f.item_name = ProtoField.string("mgmtlink.item.name", "Name")
f.item_access = ProtoField.string("mgmtlink.item.access", "Access")
f.params = ProtoField.bytes("mgmtlink.params", "Parameters")
f.data = ProtoField.bytes("mgmtlink.data", "Data")
f.status = ProtoField.uint16("mgmtlink.status", "Status", base.HEX)
f.accepted = ProtoField.bool("mgmtlink.accepted", "Accepted")
f.display_mode = ProtoField.uint8("mgmtlink.display_mode", "Display mode", base.DEC, nil, 0x7F)
f.display_held = ProtoField.bool("mgmtlink.display_mode.held", "Controller holds a value", 8,
                                 nil, 0x80)
f.range_index = ProtoField.uint8("mgmtlink.range.index", "Range index", base.DEC)
f.range_first = ProtoField.ipv4("mgmtlink.range.first", "First address")
f.range_last = ProtoField.ipv4("mgmtlink.range.last", "Last address")
f.text = ProtoField.stringz("mgmtlink.text", "Text")
f.request_word = ProtoField.uint32("mgmtlink.request_word", "Request word", base.HEX)
f.response_in = ProtoField.framenum("mgmtlink.response_in", "Answer in", base.NONE,
                                    frametype.RESPONSE)
f.response_to = ProtoField.framenum("mgmtlink.response_to", "Answer to", base.NONE,
                                    frametype.REQUEST)
f.retry_of = ProtoField.framenum("mgmtlink.retry_of", "Repeats the request in", base.NONE)
f.time = ProtoField.relative_time("mgmtlink.time", "Time since the request")
f.msgid = ProtoField.uint8("mgmtlink.msgid", "Message id", base.DEC, DOCUMENTS)
f.chunk_size = ProtoField.uint16("mgmtlink.chunk.header_size", "Chunk header size", base.DEC)
f.seq = ProtoField.uint8("mgmtlink.seq", "Sequence number", base.DEC)
f.count = ProtoField.uint8("mgmtlink.count", "Chunk count", base.DEC)
f.docname = ProtoField.string("mgmtlink.document.name", "Document")
f.slice = ProtoField.bytes("mgmtlink.slice", "Slice")
f.slice_pad = ProtoField.uint8("mgmtlink.slice.pad", "Zero byte after a full slice", base.HEX)
f.reassembled_in = ProtoField.framenum("mgmtlink.reassembled_in", "Document put together in",
                                       base.NONE)
f.document = ProtoField.bytes("mgmtlink.document", "Document text")
f.document_length = ProtoField.uint32("mgmtlink.document.length", "Document length", base.DEC)
f.document_chunk = ProtoField.framenum("mgmtlink.document.chunk", "Chunk in", base.NONE)

local e_malformed = ProtoExpert.new("mgmtlink.malformed", "Malformed management-link frame",
                                    expert.group.MALFORMED, expert.severity.ERROR)
local e_unanswered = ProtoExpert.new("mgmtlink.unanswered", "No answer in the capture",
                                     expert.group.SEQUENCE, expert.severity.WARN)
local e_refused = ProtoExpert.new("mgmtlink.refused", "The controller refused the request",
                                  expert.group.RESPONSE_CODE, expert.severity.NOTE)
local e_unpaired = ProtoExpert.new("mgmtlink.unpaired", "Answer to no request in the capture",
                                   expert.group.SEQUENCE, expert.severity.WARN)
local e_size = ProtoExpert.new("mgmtlink.unexpected_size", "Data of an unexpected size",
                               expert.group.PROTOCOL, expert.severity.WARN)
local e_reassembly = ProtoExpert.new("mgmtlink.reassembly", "Upload cannot be put together",
                                     expert.group.REASSEMBLE, expert.severity.WARN)
mgmtlink.experts = { e_malformed, e_unanswered, e_refused, e_unpaired, e_size, e_reassembly }

local json = Dissector.get("json")

-- State built on the first pass over the capture, read on every pass.
local answer_of, request_of, retry_of = {}, {}, {}
local uploads, reassembled, reassembled_in = {}, {}, {}
local pending -- the request still waiting for its answer

function mgmtlink.init()
  answer_of, request_of, retry_of = {}, {}, {}
  uploads, reassembled, reassembled_in = {}, {}, {}
  pending = nil
end

local function item_text(code)
  local item = ITEMS[code]
  local access = (bit.band(code, WRITE_BIT * 0x10000) ~= 0) and "write" or "read"
  return item and item.name or "unknown item", access
end

-- Problems of the frame being dissected, shown in the Info column at the end.
local problems = {}

local function malformed(tree, pinfo, text)
  tree:add_proto_expert_info(e_malformed, text)
  problems[#problems + 1] = text
end

-- Adds the item's fields under `tree`; `generated` for an answer, where
-- they come from the request.
local function add_item(tree, range, code, generated)
  local name, access = item_text(code)
  local items = {
    tree:add(f.item, range, code),
    tree:add(f.item_group, range, bit.rshift(code, 24)),
    tree:add(f.item_number, range, bit.band(bit.rshift(code, 16), 0xFF)),
    tree:add(f.item_name, range, name),
    tree:add(f.item_access, range, access),
  }
  items[1]:append_text(" (" .. name .. ", " .. access .. ")")
  if generated then
    for _, it in ipairs(items) do
      it:set_generated()
    end
  end
end

-- Item values that read better decoded: the write's value, the read's
-- parameter or the answer's data of the same item.
local function decode_value(tree, code, range, answer)
  local base = bit.band(code, bit.bnot(WRITE_BIT * 0x10000))
  local n = range:len()
  if base == 0x02030000 and n >= 1 then
    tree:add(f.display_held, range(0, 1))
    tree:add(f.display_mode, range(0, 1))
  elseif base == 0x01080000 then
    local at = 0
    if not answer and n >= 1 then
      tree:add(f.range_index, range(0, 1))
      at = 1
    end
    if n >= at + 8 then
      tree:add(f.range_first, range(at, 4))
      tree:add(f.range_last, range(at + 4, 4))
    end
  elseif base == 0x02040000 and n >= 1 then
    tree:add_le(f.request_word, range(0, math.min(n, 4)))
  elseif base == 0x01090000 and n >= 1 then
    tree:add(f.text, range)
  end
end

local function dissect_request(tvb, pinfo, tree, body, body_len)
  pinfo.cols.info:set("Request")
  if body_len < CODE_SIZE then
    malformed(tree, pinfo, string.format("request of %d bytes, shorter than its command code",
                                         body_len))
    return
  end
  local code = tvb(body, CODE_SIZE):le_uint()
  add_item(tree, tvb(body, CODE_SIZE), code, false)
  local name, access = item_text(code)
  pinfo.cols.info:set(string.format("Request %s %s (0x%08X)", access, name, code))
  local item = ITEMS[code]
  if not item then
    malformed(tree, pinfo, string.format("unknown item 0x%08X", code))
  end
  local rest = body_len - CODE_SIZE
  if rest > 0 then
    local range = tvb(body + CODE_SIZE, rest)
    local sub = tree:add(access == "write" and f.data or f.params, range)
    decode_value(sub, code, range, false)
  end
  if item and item.data and rest ~= item.data then
    tree:add_proto_expert_info(e_size, string.format("%s (%s) carries %d bytes, expected %d",
                                                     name, access, rest, item.data))
  end

  if not pinfo.visited then
    local bytes = tvb:raw(body, body_len)
    if pending and pending.bytes == bytes then
      retry_of[pinfo.number] = pending.frame
    end
    pending = { frame = pinfo.number, code = code, bytes = bytes, time = pinfo.abs_ts }
  end
  if retry_of[pinfo.number] then
    tree:add(f.retry_of, retry_of[pinfo.number]):set_generated()
  end
  local answer = answer_of[pinfo.number]
  if answer then
    tree:add(f.response_in, answer):set_generated()
  elseif pinfo.visited then
    tree:add_proto_expert_info(e_unanswered)
  end
end

local function dissect_answer(tvb, pinfo, tree, captured)
  pinfo.cols.info:set("Answer")
  if not pinfo.visited then
    if pending then
      request_of[pinfo.number] = pending
      answer_of[pending.frame] = pinfo.number
    end
    pending = nil
  end
  local request = request_of[pinfo.number]
  if request then
    tree:add(f.response_to, request.frame):set_generated()
    local delta = math.max(pinfo.abs_ts - request.time, 0)
    local seconds = math.floor(delta)
    tree:add(f.time, NSTime.new(seconds, math.floor((delta - seconds) * 1e9 + 0.5))):set_generated()
    add_item(tree, tvb(0, 0), request.code, true)
  else
    tree:add_proto_expert_info(e_unpaired)
  end
  if captured < STATUS_SIZE then
    malformed(tree, pinfo, string.format("answer of %d bytes, shorter than its status word",
                                         captured))
    return
  end
  local status = tvb(0, STATUS_SIZE):le_uint()
  tree:add_le(f.status, tvb(0, STATUS_SIZE)):append_text(status == 0 and " (accepted)" or " (refused)")
  tree:add(f.accepted, tvb(0, STATUS_SIZE), status == 0):set_generated()
  local what = "(to no request in the capture)"
  if request then
    local name, access = item_text(request.code)
    what = string.format("%s %s (0x%08X)", access, name, request.code)
  end
  if status ~= 0 then
    tree:add_proto_expert_info(e_refused, string.format("status 0x%04X", status))
    pinfo.cols.info:set(string.format("Answer: refused (status 0x%04X) %s", status, what))
  else
    pinfo.cols.info:set("Answer: accepted " .. what)
  end
  if captured > STATUS_SIZE then
    local range = tvb(STATUS_SIZE, captured - STATUS_SIZE)
    local sub = tree:add(f.data, range)
    if request and status == 0 then
      decode_value(sub, request.code, range, true)
    end
  end
end

-- Puts the chunks of one upload together on the first pass. The link
-- carries one document at a time, each chunk after the one before.
local function collect_chunk(pinfo, msgid, seq, count, text)
  if seq == 1 then
    uploads[msgid] = { count = count, next = 1, parts = {}, frames = {} }
  end
  local upload = uploads[msgid]
  if not upload or upload.next ~= seq or upload.count ~= count then
    uploads[msgid] = nil
    return string.format("chunk %d of %d does not continue an upload of message id %d", seq,
                         count, msgid)
  end
  upload.parts[#upload.parts + 1] = text
  upload.frames[#upload.frames + 1] = pinfo.number
  upload.next = seq + 1
  if seq < count then
    return nil
  end
  uploads[msgid] = nil
  local joined = table.concat(upload.parts)
  local zero = joined:find("\0", 1, true)
  if not zero then
    return "the upload's text ends without its terminating zero"
  end
  reassembled[pinfo.number] = { msgid = msgid, text = joined:sub(1, zero - 1),
                                frames = upload.frames }
  for _, frame in ipairs(upload.frames) do
    reassembled_in[frame] = pinfo.number
  end
  return nil
end

local function dissect_notice(tvb, pinfo, tree, body, body_len, whole)
  pinfo.cols.info:set("Notice")
  if body_len < CHUNK_HEADER then
    malformed(tree, pinfo, string.format("notice of %d bytes, shorter than a chunk header",
                                         body_len))
    return
  end
  local msgid = tvb(body, 1):uint()
  local size = tvb(body + 1, 2):le_uint()
  local seq = tvb(body + 3, 1):uint()
  local count = tvb(body + 4, 1):uint()
  local name = DOCUMENTS[msgid] or "unknown document"
  local chunk = tree:add(mgmtlink, tvb(body, CHUNK_HEADER), "Chunk header")
  chunk:add(f.msgid, tvb(body, 1))
  chunk:add(f.docname, tvb(body, 1), name):set_generated()
  chunk:add_le(f.chunk_size, tvb(body + 1, 2))
  chunk:add(f.seq, tvb(body + 3, 1))
  chunk:add(f.count, tvb(body + 4, 1))
  chunk:append_text(string.format(": message id %d (%s), chunk %d of %d", msgid, name, seq, count))
  pinfo.cols.info:set(string.format("Notice chunk %d/%d of document %d (%s)", seq, count, msgid,
                                    name))
  if size ~= CHUNK_HEADER_SIZE_FIELD then
    malformed(tree, pinfo, string.format("chunk header size field %d, not %d", size,
                                         CHUNK_HEADER_SIZE_FIELD))
    return
  end
  if seq == 0 or count == 0 or seq > count then
    malformed(tree, pinfo, string.format("chunk %d of %d", seq, count))
    return
  end
  local slice_len = body_len - CHUNK_HEADER
  local text_len = slice_len
  if slice_len > SLICE_MAX + 1 then
    malformed(tree, pinfo, string.format("slice of %d bytes, at most %d", slice_len, SLICE_MAX))
    return
  elseif slice_len == SLICE_MAX + 1 then
    text_len = SLICE_MAX -- a full slice travels with a zero byte of its own
  end
  if text_len > 0 then
    tree:add(f.slice, tvb(body + CHUNK_HEADER, text_len))
  end
  if text_len < slice_len then
    tree:add(f.slice_pad, tvb(body + CHUNK_HEADER + text_len, 1))
  end

  if not pinfo.visited then
    local problem
    if whole then
      problem = collect_chunk(pinfo, msgid, seq, count,
                              text_len > 0 and tvb:raw(body + CHUNK_HEADER, text_len) or "")
    else
      uploads[msgid] = nil
      problem = "the chunk's bytes are not all in the capture: its upload is dropped"
    end
    if problem then
      reassembled_in[pinfo.number] = problem
    end
  end
  local where = reassembled_in[pinfo.number]
  if type(where) == "string" then
    tree:add_proto_expert_info(e_reassembly, where)
  elseif where and where ~= pinfo.number then
    tree:add(f.reassembled_in, where):set_generated()
  end
  local doc = reassembled[pinfo.number]
  if doc then
    local document = ByteArray.new(doc.text, true):tvb("Document " .. msgid .. " (" .. name .. ")")
    local sub = tree:add(f.document, document())
    sub:set_generated()
    sub:add(f.document_length, document(), document:len()):set_generated()
    for _, frame in ipairs(doc.frames) do
      sub:add(f.document_chunk, frame):set_generated()
    end
    pinfo.cols.info:append(string.format(" [document of %d characters put together]",
                                         document:len()))
    if json and document:len() > 0 then
      local protocol = tostring(pinfo.cols.protocol)
      local info = tostring(pinfo.cols.info)
      pcall(function() json:call(document, pinfo, sub) end)
      pinfo.cols.protocol:set(protocol)
      pinfo.cols.info:set(info)
    end
  end
end

local function marker_kind(marker)
  if marker == REQUEST_MARKER then
    return kinds.request, REQUEST_HEADER
  elseif marker == NOTICE_MARKER then
    return kinds.notice, NOTICE_HEADER
  end
  return nil
end

local function dissect_link(tvb, pinfo, tree, captured, reported)
  pinfo.cols.info:set("Management-link frame")
  if pinfo.dst_port == REQUEST_PORT then
    tree:add(f.kind, kinds.answer):set_generated()
    tree:append_text(", answer")
    dissect_answer(tvb, pinfo, tree, captured)
    return
  end
  if captured < 2 then
    malformed(tree, pinfo, string.format("%d bytes, shorter than a link header", captured))
    return
  end
  local marker = tvb(0, 2):uint()
  local kind, header = marker_kind(marker)
  if not kind then
    tree:add(f.marker, tvb(0, 2))
    malformed(tree, pinfo, string.format("unknown frame-kind marker 0x%04X", marker))
    return
  end
  tree:add(f.kind, tvb(0, 2), kind)
  tree:add(f.marker, tvb(0, 2))
  tree:append_text(", " .. kind)
  tree:add(f.header_length, tvb(0, math.min(header, captured)), header):set_generated()
  if captured < header then
    malformed(tree, pinfo, string.format("%d bytes, shorter than the %d-byte %s header", captured,
                                         header, kind))
    return
  end
  local signature = tvb(2, 2):uint()
  tree:add(f.signature, tvb(2, 2))
  if signature ~= SIGNATURE then
    malformed(tree, pinfo, string.format("link signature 0x%04X, not 0x%04X", signature,
                                         SIGNATURE))
    return
  end
  local length = tvb(4, 2):uint()
  local length_item = tree:add(f.length, tvb(4, 2))
  if kind == kinds.notice then
    tree:add(f.tag, tvb(6, 4))
  end
  local carried = reported - header
  if length ~= carried then
    length_item:append_text(string.format(" (the frame carries %d)", carried))
    malformed(tree, pinfo, string.format("payload length %d, but the frame carries %d bytes",
                                         length, carried))
  end
  -- Go on with what both the length and the capture hold.
  local body_len = math.min(length, captured - header)
  if kind == kinds.request then
    dissect_request(tvb, pinfo, tree, header, body_len)
  else
    dissect_notice(tvb, pinfo, tree, header, body_len, body_len == length and length == carried)
  end
end

function mgmtlink.dissector(tvb, pinfo, tree)
  local captured, reported = tvb:len(), tvb:reported_len()
  pinfo.cols.protocol:set("MGMTLINK")
  local subtree = tree:add(mgmtlink, tvb())
  problems = {}
  -- Whatever the frame holds, it is shown and marked, never an error.
  local ok, err = pcall(dissect_link, tvb, pinfo, subtree, captured, reported)
  if not ok then
    malformed(subtree, pinfo, tostring(err))
  elseif captured < reported then
    malformed(subtree, pinfo, string.format("cut short in the capture: %d of %d bytes", captured,
                                            reported))
  end
  for _, text in ipairs(problems) do
    pinfo.cols.info:append(" [Malformed: " .. text .. "]")
  end
  return captured
end

-- Frames on other ports still count when they carry the link header.
local function heuristic(tvb, pinfo, tree)
  if tvb:len() < 4 or tvb(2, 2):uint() ~= SIGNATURE or not marker_kind(tvb(0, 2):uint()) then
    return false
  end
  mgmtlink.dissector(tvb, pinfo, tree)
  return true
end

local udp_port = DissectorTable.get("udp.port")
udp_port:add(REQUEST_PORT, mgmtlink)
udp_port:add(LINK_PORT, mgmtlink)
mgmtlink:register_heuristic("udp", heuristic)
