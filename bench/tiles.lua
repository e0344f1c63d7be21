-- wrk script of bench/run_all.py: walks the tile paths listed in the file named by
-- WRK_PATHS (one per line), each thread from its own offset, every request from one
-- of WRK_CLIENTS (default 1000) client addresses per thread (X-Forwarded-For; the server
-- trusts 127.0.0.1), and prints the summary as JSON.
local threads = {}

function setup(thread)
  thread:set("id", #threads)
  thread:set("nthreads", 0)
  table.insert(threads, thread)
end

function init(args)
  paths = {}
  for line in io.lines(os.getenv("WRK_PATHS")) do table.insert(paths, line) end
  counter = 0
  stride = tonumber(os.getenv("WRK_THREADS") or "1")
  nclients = tonumber(os.getenv("WRK_CLIENTS") or "1000")
end

function request()
  local i = (counter * stride + id) % #paths + 1
  local client = counter % nclients
  counter = counter + 1
  return wrk.format("GET", paths[i], {["X-Forwarded-For"] = string.format("10.%d.%d.%d", id, math.floor(client / 250), client % 250),
                                      ["Accept-Encoding"] = "gzip"})
end

function done(summary, latency, requests)
  io.write(string.format(
    '{"requests": %d, "duration_us": %d, "status_errors": %d, "socket_errors": %d, "p50_us": %d, "p99_us": %d, "mean_us": %.1f}\n',
    summary.requests, summary.duration, summary.errors.status,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout,
    latency:percentile(50), latency:percentile(99), latency.mean))
end
