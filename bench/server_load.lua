-- wrk script for the web service's load test: getAFPTag.php requests as the service sends them.
--   MS_LOAD_MODE=add     a new fingerprint per request (1,000 values per series, as from a
--                        four-minute track), tagged with one of 500 titles
--   MS_LOAD_MODE=update  an update request for a known fingerprint, cycling through the FGUIDs
--                        in the file $MS_LOAD_FGUIDS (one per line)
-- Every answer that is not status 200 is counted by wrk as "Non-2xx".

local mode = os.getenv("MS_LOAD_MODE") or "add"
local fguid_file = os.getenv("MS_LOAD_FGUIDS")
local values = 1000

local threads = {}
local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("id", counter)
  table.insert(threads, thread)
end

local function u16(n)
  return string.char(n % 256, math.floor(n / 256) % 256)
end

-- TBitStream7: count, then the values 7 bits each, least significant bit first.
local function pack7(vals)
  local out, acc, nbits = {}, 0, 0
  for i = 1, #vals do
    acc = acc + vals[i] * 2 ^ nbits
    nbits = nbits + 7
    while nbits >= 8 do
      out[#out + 1] = string.char(acc % 256)
      acc = math.floor(acc / 256)
      nbits = nbits - 8
    end
  end
  if nbits > 0 then out[#out + 1] = string.char(acc % 256) end
  return u16(#vals) .. table.concat(out)
end

local b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
local function base64(s)
  local out = {}
  for i = 1, #s, 3 do
    local a, b, c = s:byte(i, i + 2)
    local n = a * 65536 + (b or 0) * 256 + (c or 0)
    local c1 = math.floor(n / 262144) % 64
    local c2 = math.floor(n / 4096) % 64
    local c3 = math.floor(n / 64) % 64
    local c4 = n % 64
    out[#out + 1] = b64:sub(c1 + 1, c1 + 1) .. b64:sub(c2 + 1, c2 + 1) ..
                    (b and b64:sub(c3 + 1, c3 + 1) or "=") .. (c and b64:sub(c4 + 1, c4 + 1) or "=")
  end
  return table.concat(out)
end

-- One cache record, revision '6', audio, FGUID left to the server.
local function record(p1, p2)
  local d1, d2 = pack7(p1), pack7(p2)
  local body = "\241" .. string.rep("\0", 30) .. "\242" .. "6" .. "\242" .. "A" ..
               "\249" .. u16(#d1) .. d1 .. "\249" .. u16(#d2) .. d2
  return "\240" .. u16(#body + 1) .. body .. "\255"
end

local fguids, next_fguid, sent = {}, 1, 0
local base1, base2 = {}, {}

function init(args)
  local x = (id or 1) * 7919
  for i = 1, values do
    x = (x * 1103515245 + 12345) % 2147483648
    base1[i] = math.floor(x / 65536) % 128
    x = (x * 1103515245 + 12345) % 2147483648
    base2[i] = math.floor(x / 65536) % 128
  end
  if mode == "update" then
    for line in io.lines(fguid_file) do fguids[#fguids + 1] = line end
    -- Threads start at different places of the list.
    next_fguid = ((id or 1) - 1) * math.floor(#fguids / 2) + 1
  end
end

local headers = { ["Content-Type"] = "text/xml" }

function request()
  sent = sent + 1
  local body
  if mode == "update" then
    local f = fguids[(next_fguid - 1) % #fguids + 1]
    next_fguid = next_fguid + 1
    body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><remoteapi><FUNCTION>U</FUNCTION><FGUID>" ..
           f .. "</FGUID><TITLE>Load</TITLE><ARTIST>Test</ARTIST><ALBUM></ALBUM><TRACK></TRACK>" ..
           "<YEAR></YEAR><GENRE>Bench</GENRE><BPM></BPM><SYNPOS></SYNPOS></remoteapi>"
  else
    -- The first eight values carry thread and request number: every fingerprint is new.
    local n = sent
    for i = 1, 6 do
      base1[i] = n % 128
      n = math.floor(n / 128)
    end
    base1[7] = id % 128
    base1[8] = math.floor(id / 128) % 128
    local title = (sent * 31 + id) % 500
    body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><remoteapi><FUNCTION>A</FUNCTION><AFPPART>" ..
           base64(record(base1, base2)) .. "</AFPPART><TITLE>Title " .. title ..
           "</TITLE><ARTIST>Artist " .. (title % 50) .. "</ARTIST><ALBUM></ALBUM><TRACK></TRACK>" ..
           "<YEAR></YEAR><GENRE></GENRE><BPM></BPM><SYNPOS></SYNPOS></remoteapi>"
  end
  return wrk.format("POST", nil, headers, body)
end
