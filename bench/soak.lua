-- wrk script for bench/soak.sh: cycles each connection through a round of
-- /login requests (valid, invalid, missing) and counts the answers by kind,
-- so that the soak can hold them against what the service counted. The
-- valid token is the script's one argument.

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

-- The request each kind sends and the one answer it must get.
local valid_kind = { name = "valid", query = "userid=alice&gmi=%s",
                     answer = '{"is_valid":true,"reason":""}' }
-- Valid answers outnumber the others, as in production: through the
-- front, a client most of whose validations fail is throttled (429).
local kinds = {
  valid_kind,
  { name = "invalid",  query = "userid=mallory&gmi=%s",
    answer = '{"is_valid":false,"reason":"ERROR_UID_MISMATCH"}' },
  valid_kind,
  { name = "invalid",  query = "userid=alice&gmi=GMI1.not.a.token",
    answer = '{"is_valid":false,"reason":"ERROR_GMI_PARSE"}' },
  valid_kind,
  -- Counted as a request, not as an invalid one.
  { name = "missing",  query = "userid=alice",
    answer = '{"is_valid":false,"reason":"MISSING_REQUIRED_PARAM"}' },
  valid_kind,
}

function init(args)
  prepared = {}
  for i, kind in ipairs(kinds) do
    prepared[i] = wrk.format("GET", "/login?" .. string.format(kind.query, args[1]))
  end
  next_kind = 0
  valid, invalid, missing, unexpected = 0, 0, 0, 0
  -- What the unexpected answers were: a count by status, and the first
  -- one's status and body, for whoever has to find out why.
  unexpected_statuses = {}
  first_unexpected = nil
end

function request()
  next_kind = next_kind % #kinds + 1
  return prepared[next_kind]
end

-- Answers come back in order on a connection, but wrk does not say which
-- request an answer belongs to: the body itself is matched instead.
function response(status, headers, body)
  for _, kind in ipairs(kinds) do
    if status == 200 and body == kind.answer then
      _G[kind.name] = _G[kind.name] + 1
      return
    end
  end
  unexpected = unexpected + 1
  unexpected_statuses[status] = (unexpected_statuses[status] or 0) + 1
  first_unexpected = first_unexpected or (status .. " " .. body:sub(1, 200))
end

function done(summary, latency, requests)
  local totals = { valid = 0, invalid = 0, missing = 0, unexpected = 0 }
  for _, thread in ipairs(threads) do
    for name in pairs(totals) do
      totals[name] = totals[name] + thread:get(name)
    end
  end
  local e = summary.errors
  io.write(string.format(
    "soak-answers %d %d %d %d %d %d %d\n", summary.requests, totals.valid,
    totals.invalid, totals.missing, totals.unexpected, e.connect,
    e.read + e.write + e.timeout))
  report_unexpected()
end

-- soak-unexpected STATUS COUNT, one line per status, then the first one.
function report_unexpected()
  local statuses, first = {}, nil
  for _, thread in ipairs(threads) do
    for status, count in pairs(thread:get("unexpected_statuses")) do
      statuses[status] = (statuses[status] or 0) + count
    end
    first = first or thread:get("first_unexpected")
  end
  for status, count in pairs(statuses) do
    io.write(string.format("soak-unexpected %d %d\n", status, count))
  end
  if first then
    io.write("soak-first-unexpected " .. first:gsub("\n", " ") .. "\n")
  end
end
