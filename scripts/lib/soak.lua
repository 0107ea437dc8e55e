-- One kind of request for a soak run, and the answer it must get: SOAK_PATH,
-- SOAK_HEADER ("Name: value") and SOAK_STATUS; a 200 must name alice.
local counts = {}
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  local header = os.getenv("SOAK_HEADER")
  local name, value = string.match(header, "^([^:]+):%s*(.*)$")
  expected = tonumber(os.getenv("SOAK_STATUS"))
  wrk.path = os.getenv("SOAK_PATH")
  wrk.headers[name] = value
  wrong = 0
  unexpected = 0
end

function response(status, headers, body)
  if status ~= 200 and status ~= 401 then unexpected = unexpected + 1 end
  if status ~= expected then
    wrong = wrong + 1
  elseif status == 200 and not string.find(body, '"alice"', 1, true) then
    wrong = wrong + 1
  end
end

function done(summary, latency, requests)
  local total_wrong, total_unexpected = 0, 0
  for _, thread in ipairs(threads) do
    total_wrong = total_wrong + thread:get("wrong")
    total_unexpected = total_unexpected + thread:get("unexpected")
  end
  local errors = summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout
  io.write(string.format("soak: %s requests %d, errors %d, non-2xx/401 %d, wrong %d, p50 %.0f us, p99 %.0f us\n",
    os.getenv("SOAK_KIND"), summary.requests, errors, total_unexpected, total_wrong,
    latency:percentile(50), latency:percentile(99)))
end
