# Checks gpscat's events from a soak run against what the two simulators
# sent. Each simulator's lines are made again, from the same seed, by
# "nmeasim --stdout" (its lines in the same order), and the sentences and
# checksum errors that gpscat printed for a port must follow them one for
# one; only where gpscat has just switched to a port may lines be missing.
#
#   awk -v sim=NMEASIM -v seed1=S1 -v seed2=S2 -v out=FIGURES -f soak-check.awk EVENTS
#
# FIGURES gets one line per port, "port N consumed C matched M damaged D
# gap G lost L fragments F", and a last line "events E comloss X other O
# errors R": C is how many of the simulator's lines were accounted for (the
# lines after them were still unread at the end), M the sentences received
# as sent, D the damaged lines the receiver rejected, G the lines missing
# where a switch was, L the lines missing elsewhere (or received changed),
# F received lines that matched no line sent (a line cut by a switch).

function hexval(h) {
    return index("0123456789ABCDEF", toupper(h)) - 1
}

function xor8(a, b,    r, bit) {
    r = 0
    for (bit = 1; bit < 256; bit *= 2) {
        if ((int(a / bit) % 2) != (int(b / bit) % 2)) {
            r += bit
        }
    }
    return r
}

# Whether an NMEA line ("$...*HH") has a right checksum.
function checksum_ok(line,    star, sum, i) {
    star = index(line, "*")
    if (substr(line, 1, 1) != "$" || star == 0 || length(line) != star + 2) {
        return 0
    }
    sum = 0
    for (i = 2; i < star; i++) {
        sum = xor8(sum, ord[substr(line, i, 1)])
    }
    return sum == hexval(substr(line, star + 1, 1)) * 16 + hexval(substr(line, star + 2, 1))
}

# The k-th line port p's simulator sent after those accounted for, without
# its CR; the lines looked at stay queued for next_sent.
function peek(p, k,    line) {
    while (qt[p] - qh[p] < k) {
        if ((cmd[p] | getline line) <= 0) {
            print "soak-check: the reference of port " p " ended" > "/dev/stderr"
            exit 2
        }
        sub(/\r$/, "", line)
        q[p, ++qt[p]] = line
    }
    return q[p, qh[p] + k]
}

# The next line port p's simulator sent, now accounted for.
function next_sent(p,    line) {
    line = peek(p, 1)
    delete q[p, ++qh[p]]
    consumed[p]++
    return line
}

# Whether a received token (a sentence, or "" for a checksum error) stands
# for the sent line.
function same(token, line) {
    return token == "" ? !checksum_ok(line) : token == line
}

# The first few losses, on standard error.
function tell(p, text) {
    if (++told <= 20) print "soak-check: COM" p ": " text > "/dev/stderr"
}

# A received token while port p is in step with its simulator.
function in_step(p, token,    line, k) {
    line = next_sent(p)
    if (same(token, line)) {
        if (token == "") damaged[p]++; else matched[p]++
        return
    }
    lost[p]++
    if (token == "") {
        tell(p, "line " consumed[p] " arrived damaged: " line)
        return
    }
    # Lines are missing: find the token further on.
    for (k = 1; k <= 20000; k++) {
        if (peek(p, k) == token) break
    }
    if (k > 20000) {
        tell(p, "a received line was never sent: " token)
        errors++
        return
    }
    tell(p, k " lines missing from line " consumed[p] ", " NR - last_switch \
         " events after the switch: " line)
    lost[p] += k - 1
    for (; k > 1; k--) next_sent(p)
    next_sent(p)
    matched[p]++
}

# The lines received since port p was opened again, up to and including its
# first RMC sentence (one of a kind: it carries the time): finds that RMC
# among the lines sent, then matches the tokens before it backwards. The
# lines sent before the first match were lost to the switch.
function resync(p,    rmc, n, i, j, k) {
    rmc = held[p, held_n[p]]
    for (n = 1; n <= 200000; n++) {
        if (peek(p, n) == rmc) break
    }
    if (n > 200000) {
        tell(p, "a received RMC was never sent: " rmc)
        errors++
        held_n[p] = 0
        return
    }
    for (k = 1; k <= n; k++) ring[k] = next_sent(p)
    matched[p]++
    i = n - 1
    for (j = held_n[p] - 1; j >= 1 && i >= 1; j--) {
        if (!same(held[p, j], ring[i])) break
        if (held[p, j] == "") damaged[p]++; else matched[p]++
        i--
    }
    # Received tokens left over belong to no line sent: a line cut by the close.
    fragments[p] += j
    gap[p] += i
    for (k = 1; k <= n; k++) delete ring[k]
    held_n[p] = 0
    syncing[p] = 0
}

function token_of(event,    at, text) {
    at = index(event, "\"Sentence\":\"")
    text = substr(event, at + 12)
    return substr(text, 1, length(text) - 2)
}

BEGIN {
    for (i = 32; i < 127; i++) ord[sprintf("%c", i)] = i
    seed[1] = seed1
    seed[2] = seed2
    for (p = 1; p <= 2; p++) {
        cmd[p] = sim " --stdout --speed 0 --seed " seed[p]
        syncing[p] = 1  # the first open is a switch too: the library may drop what came before
    }
    port = 1
}

{
    events++
}

/^\{"event":"OnSentence"/ || /^\{"event":"OnError"/ {
    token = substr($0, 1, 19) == "{\"event\":\"OnError\"," ? "" : token_of($0)
    if (syncing[port]) {
        held[port, ++held_n[port]] = token
        if (token ~ /^\$G.RMC,[0-9]/) resync(port)
        else if (held_n[port] > 1000) {
            print "soak-check: no RMC in 1000 lines after a switch" > "/dev/stderr"
            errors++
            held_n[port] = 0
        }
    } else {
        in_step(port, token)
    }
    next
}

/^\{"event":"PortSwitch"/ {
    # Lines of the port left before it was placed again cannot be placed now.
    fragments[port] += held_n[port]
    held_n[port] = 0
    port = $0 ~ /"Port":"COM1"/ ? 1 : 2
    syncing[port] = 1
    held_n[port] = 0
    switches++
    last_switch = NR
    next
}

/^\{"event":"OnComLoss"/ { comloss++; next }
/^\{"event":"OnDevice/ { other++; next }

END {
    for (p = 1; p <= 2; p++) {
        # What was held when the run ended could not be placed: part of the last gap.
        fragments[p] += held_n[p]
        printf "port %d consumed %d matched %d damaged %d gap %d lost %d fragments %d\n", p,
               consumed[p], matched[p], damaged[p], gap[p], lost[p],
               fragments[p] > out
        close(cmd[p])
    }
    printf "events %d comloss %d other %d errors %d switches %d\n", events, comloss, other,
           errors, switches > out
}
