package Orvalith.Bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Turns a benchmark run's raw files into results/bench.md and the plot's
 * data file.  Reads, from the raw folder:
 *
 *   routes.tsv     the routes' lines: route, op, min, median, max, ops per run, every run;
 *                  a route's lines from several rounds are pooled
 *   registry.tsv   the registry benchmark's lines (and its fill times)
 *   env.txt        "key: value" lines about the machine and the run
 *   jni.txt        addresses of JNI functions that have no symbol
 *   callgrind/     one dump per profiled native (absent: no section)
 *   perf-dso.txt, perf-sym.txt   perf report of the JIT-compiled loop (optional)
 *
 *   Report RAW-FOLDER RESULTS-FOLDER
 */
public final class Report {
    /** Routes in table order, with their column titles. */
    private static final String[][] ROUTES = {
        {"bridge-careful", "bridge, careful"}, {"bridge-traced", "bridge, careful, traced"},
        {"bridge-baseline", "bridge, careful, baseline build"},
        {"bridge-naive", "bridge, naive"}, {"jdk", "JDK wrapper"},
        {"jna", "JNA (direct)"}, {"bridge-careful-22", "bridge, careful (JDK ≥ 22)"},
        {"foreign", "foreign API (JDK ≥ 22)"}, {"c", "C floor"}};

    private static final String[][] OPS = {
        {Harness.SESSION_INFO, "C_GetSessionInfo"}, {Harness.RANDOM_32, "C_GenerateRandom, 32 B"},
        {Harness.DIGEST_64, "C_DigestInit + C_Digest, SHA-256 of 64 B"},
        {Harness.DIGEST_1M, "C_DigestInit + C_Digest, SHA-256 of 1 MiB"},
        {Harness.SIGN, "C_SignInit + C_Sign, ECDSA P-256"},
        {Harness.FIND, "C_FindObjectsInit / C_FindObjects / C_FindObjectsFinal, 8 objects"}};

    /** Natives one careful operation makes: the Cryptoki calls, Pointer.copy in, the read-back. */
    private static final Map<String, Integer> CAREFUL_NATIVES = Map.of(Harness.SESSION_INFO, 2, Harness.RANDOM_32, 2,
            Harness.DIGEST_64, 4, Harness.DIGEST_1M, 4, Harness.SIGN, 4, Harness.FIND, 4);

    record Timing(double min, double median, double max, long perRun) {
    }

    private final Path raw;
    private final Map<String, Map<String, Timing>> timings = new LinkedHashMap<>();
    private final Map<String, String> env = new LinkedHashMap<>();
    private final StringBuilder md = new StringBuilder();

    private Report(Path raw) throws IOException {
        this.raw = raw;
        readTimings(raw.resolve("routes.tsv"));
        Path e = raw.resolve("env.txt");
        if (Files.exists(e)) {
            for (String line : Files.readAllLines(e)) {
                int colon = line.indexOf(':');
                if (colon > 0) {
                    env.put(line.substring(0, colon).trim(), line.substring(colon + 1).trim());
                }
            }
        }
    }

    private void readTimings(Path p) throws IOException {
        if (!Files.exists(p)) {
            return;
        }
        Map<String, Map<String, List<Double>>> runs = new LinkedHashMap<>();
        Map<String, Long> perRun = new TreeMap<>();
        for (String line : Files.readAllLines(p)) {
            String[] f = line.split("\t");
            if (f.length != 7) {
                continue;
            }
            List<Double> all = runs.computeIfAbsent(f[0], k -> new LinkedHashMap<>())
                    .computeIfAbsent(f[1], k -> new ArrayList<>());
            for (String v : f[6].split(",")) {
                all.add(Double.parseDouble(v));
            }
            perRun.put(f[0] + "/" + f[1], Long.parseLong(f[5]));
        }
        runs.forEach((route, ops) -> ops.forEach((op, all) -> {
            all.sort(null);
            timings.computeIfAbsent(route, k -> new LinkedHashMap<>()).put(op, new Timing(all.get(0),
                    all.get(all.size() / 2), all.get(all.size() - 1), perRun.get(route + "/" + op)));
        }));
        runCount = runs.values().stream().flatMap(m -> m.values().stream()).mapToInt(List::size).max().orElse(0);
    }

    /** Timed runs behind each figure, all rounds together. */
    private int runCount;

    /** A route's column title, the newer JDK named by its version. */
    private String title(String[] route) {
        String v = env.getOrDefault("jdk22", "");
        String major = v.replaceAll(".* (\\d+)[.\\d]*$", "$1");
        return major.matches("\\d+") ? route[1].replace("JDK ≥ 22", "JDK " + major) : route[1];
    }

    private Timing t(String route, String op) {
        Map<String, Timing> m = timings.get(route);
        return m == null ? null : m.get(op);
    }

    private void line(String s) {
        md.append(s).append('\n');
    }

    // Numbers.

    private static String fmt(double value, String fmt) {
        return String.format(Locale.ROOT, fmt, value);
    }

    /** A time in the unit that suits the row: ns below 10 µs, µs below 10 ms, else ms. */
    private static String time(double ns, double scale) {
        if (scale < 10_000) {
            return fmt(ns, "%,.0f ns");
        }
        if (scale < 10_000_000) {
            return fmt(ns / 1e3, "%,.1f µs");
        }
        return fmt(ns / 1e6, "%,.2f ms");
    }

    private static String timeRange(Timing t, double scale) {
        if (t == null) {
            return "—";
        }
        String unit = time(t.median, scale);
        String u = unit.substring(unit.lastIndexOf(' '));
        String lo = time(t.min, scale), hi = time(t.max, scale);
        return unit + " (" + lo.substring(0, lo.lastIndexOf(' ')) + "–" + hi.substring(0, hi.lastIndexOf(' ')) + u
                + ")";
    }

    private static String ratio(Timing a, Timing b) {
        return a == null || b == null ? "—" : fmt(a.median / b.median, "%.2f");
    }

    // Sections.

    private void header() {
        line("# Benchmarks: the bridge against the other ways Java reaches a token");
        line("");
        line("Run of " + env.getOrDefault("date", "?") + " on " + env.getOrDefault("cpu", "?") + ", "
                + env.getOrDefault("cores", "?") + " cores; load average before the run: "
                + env.getOrDefault("load", "?") + ".");
        if (timings.isEmpty()) {
            line("Only the block registry was measured (`BENCH_ONLY=registry`), with the bridge built "
                    + env.getOrDefault("build", "?") + " and " + env.getOrDefault("jdk17", "?") + ".");
            line("");
            return;
        }
        line("Module: " + env.getOrDefault("module", "?") + " (SoftHSM2 " + env.getOrDefault("softhsm", "?")
                + "), one token in a temporary folder. JVMs: " + env.getOrDefault("jdk17", "?")
                + (env.containsKey("jdk22") ? "; " + env.get("jdk22") : "") + ". Bridge built "
                + env.getOrDefault("build", "?") + ".");
        line("Each figure: nanoseconds per operation over " + runCount + " timed runs of about "
                + env.getOrDefault("run_ms", "?") + " ms (" + env.getOrDefault("rounds", "?") + " rounds of "
                + env.getOrDefault("runs", "?") + ", every route once per round, each after "
                + env.getOrDefault("warmup_ms", "?") + " ms of warm-up in a fresh process); the median, with the "
                + "least and greatest run in brackets. Other work on the machine only ever adds time, so on a "
                + "busy machine the least figures are the steadier comparison.");
        line("");
    }

    private boolean haveForeign() {
        return timings.containsKey("foreign");
    }

    private void timingTable() {
        List<String[]> routes = new ArrayList<>();
        for (String[] r : ROUTES) {
            if (timings.containsKey(r[0])) {
                routes.add(r);
            }
        }
        line("## Time per operation");
        line("");
        if (!haveForeign()) {
            line("No JDK of version 22 or later was found under /usr/lib/jvm, so the foreign function API "
                    + "(and the bridge on that JDK) could not be measured: those columns are left out.");
            line("");
        }
        StringBuilder head = new StringBuilder("| Work |"), rule = new StringBuilder("|---|");
        for (String[] r : routes) {
            head.append(' ').append(title(r)).append(" |");
            rule.append("---:|");
        }
        line(head.toString());
        line(rule.toString());
        for (String[] op : OPS) {
            Timing floor = t("c", op[0]);
            double scale = floor != null ? floor.median : 0;
            for (String[] r : routes) {
                Timing x = t(r[0], op[0]);
                if (x != null && floor == null) {
                    scale = Math.max(scale, x.median);
                }
            }
            StringBuilder row = new StringBuilder("| " + op[1] + " |");
            for (String[] r : routes) {
                row.append(' ').append(timeRange(t(r[0], op[0]), scale)).append(" |");
            }
            line(row.toString());
        }
        line("");
    }

    private void ratioTable() {
        line("## Ratios and the bridge's cost above the floor");
        line("");
        line("Ratios of medians; below 1 the bridge is faster. \"careful − C\" is the careful route's time above "
                + "the C floor for the whole operation, and \"per native\" divides it by the natives the operation "
                + "makes (its Cryptoki calls, the Pointer.copy of the input where there is one, and the read-back).");
        line("");
        boolean foreign = haveForeign();
        line("| Work | careful / JDK wrapper | careful / JNA |" + (foreign ? " " + title(new String[] {"", "careful / foreign (both JDK ≥ 22)"}) + " |" : "")
                + " careful / C | naive / careful | natives per op | careful − C | per native |");
        line("|---|---:|---:|" + (foreign ? "---:|" : "") + "---:|---:|---:|---:|---:|");
        for (String[] op : OPS) {
            Timing careful = t("bridge-careful", op[0]), c = t("c", op[0]);
            String above = "—", perNative = "—";
            if (careful != null && c != null) {
                double d = careful.median - c.median;
                above = time(d, Math.abs(d));
                perNative = time(d / CAREFUL_NATIVES.get(op[0]), Math.abs(d / CAREFUL_NATIVES.get(op[0])));
            }
            line("| " + op[1] + " | " + ratio(careful, t("jdk", op[0])) + " | " + ratio(careful, t("jna", op[0]))
                    + " |" + (foreign ? " " + ratio(t("bridge-careful-22", op[0]), t("foreign", op[0])) + " |" : "")
                    + " " + ratio(careful, c) + " | " + ratio(t("bridge-naive", op[0]), careful) + " | "
                    + CAREFUL_NATIVES.get(op[0]) + " | " + above + " | " + perNative + " |");
        }
        line("");
    }

    private void registry() throws IOException {
        Path p = raw.resolve("registry.tsv");
        if (!Files.exists(p)) {
            return;
        }
        line("## Block registry");
        line("");
        line("ns per pair: one `JNI.Pointer.getInstance` and its `free`, with that many other blocks live; "
                + "`Pointer.copy` of 64 bytes into a block made before the others (the copy asks the registry "
                + "whether the destination is one of its blocks); array blocks with 10 others live.");
        line("");
        line("| Case | median | least | greatest |");
        line("|---|---:|---:|---:|");
        List<String> fills = new ArrayList<>();
        String perBlock = null;
        Map<String, String> names = new LinkedHashMap<>();
        for (int n : new int[] {10, 1_000, 100_000, 1_000_000}) {
            names.put("alloc_free_" + n, String.format(Locale.ROOT, "getInstance(int) + free, %,d others live", n));
            names.put("copy64_" + n, String.format(Locale.ROOT, "Pointer.copy 64 B, %,d others live", n));
        }
        names.put("array_64", "getInstance(byte[64]) + free");
        names.put("array_1m", "getInstance(byte[1 MiB]) + free");
        Map<String, String[]> rows = new TreeMap<>();
        for (String l : Files.readAllLines(p)) {
            String[] f = l.split("\t");
            if (f.length == 3 && f[1].startsWith("fill_to_")) {
                fills.add(String.format(Locale.ROOT, "%,d blocks: %s", Long.parseLong(f[1].substring(8)), f[2]));
            } else if (f.length == 3 && f[1].equals("rss_per_block")) {
                perBlock = f[2];
            } else if (f.length == 7) {
                rows.put(f[1], f);
            }
        }
        for (Map.Entry<String, String> n : names.entrySet()) {
            String[] f = rows.get(n.getKey());
            if (f != null) {
                double med = Double.parseDouble(f[3]);
                line("| " + n.getValue() + " | " + time(med, med) + " | " + time(Double.parseDouble(f[2]), med) + " | "
                        + time(Double.parseDouble(f[4]), med) + " |");
            }
        }
        line("");
        if (!fills.isEmpty()) {
            line("Time to fill the registry with `getInstance(16)` blocks, cumulative: " + String.join("; ", fills)
                    + ".");
            line("");
        }
        if (perBlock != null) {
            line("Resident memory per live block (growth of the process's VmRSS while the blocks were made, "
                    + "Java heap fixed and pre-touched; the 16-byte blocks' own malloc chunks included): " + perBlock
                    + ".");
            line("");
        }
    }

    // The callgrind dumps.

    /** One native's instructions: totals per callee (JNI functions, the module, libc) and its own code. */
    static final class Split {
        String name;
        long total, own;
        final Map<String, long[]> callees = new TreeMap<>();  // name -> {calls, instructions}
        final Map<String, long[]> natives = new LinkedHashMap<>();  // the natives the driver called, likewise
        long rounds;  // rounds of the operation: calls of its first native
    }

    private static final Pattern COMPRESSED = Pattern.compile("^\\((\\d+)\\)(?: (.*))?$");

    private static String name(Map<String, String> table, String v) {
        Matcher m = COMPRESSED.matcher(v);
        if (!m.matches()) {
            return v;
        }
        if (m.group(2) != null) {
            table.put(m.group(1), m.group(2));
            return m.group(2);
        }
        return table.getOrDefault(m.group(1), v);
    }

    private static long cost(String line) {
        String[] f = line.trim().split("\\s+");
        return f.length > 1 ? Long.parseLong(f[1]) : 0;
    }

    private static Split split(Path dump, Map<String, String> unnamed, String bridgeLib, String moduleLib)
            throws IOException {
        Split s = new Split();
        Map<String, String> obs = new TreeMap<>(), fns = new TreeMap<>();
        String ob = "", fn = "", cob = null, cfn = null;
        long callCount = 0;
        boolean callCost = false;
        for (String l : Files.readAllLines(dump, StandardCharsets.UTF_8)) {
            if (l.startsWith("desc: Trigger: Client Request: ")) {
                s.name = l.substring("desc: Trigger: Client Request: ".length());
            } else if (l.startsWith("ob=")) {
                ob = name(obs, l.substring(3));
            } else if (l.startsWith("fn=")) {
                fn = name(fns, l.substring(3));
                cob = null;
            } else if (l.startsWith("cob=")) {
                cob = name(obs, l.substring(4));
            } else if (l.startsWith("cfn=")) {
                cfn = name(fns, l.substring(4));
            } else if (l.startsWith("calls=")) {
                callCount = Long.parseLong(l.substring(6).trim().split("\\s+")[0]);
                callCost = true;
            } else if (!l.isEmpty() && (Character.isDigit(l.charAt(0)) || "+-*".indexOf(l.charAt(0)) >= 0)) {
                long c = cost(l);
                String calleeOb = cob != null ? cob : ob;
                boolean inBridge = ob.endsWith(bridgeLib);
                if (callCost) {
                    if (fn.equals("main") && cfn.startsWith("Java_")) {
                        s.total += c;
                        long[] v = s.natives.computeIfAbsent(javaName(cfn), k -> new long[2]);
                        v[0] += callCount;
                        v[1] += c;
                    } else if (inBridge && !calleeOb.endsWith(bridgeLib)) {
                        String callee = calleeName(cfn, calleeOb, unnamed, moduleLib);
                        long[] v = s.callees.computeIfAbsent(callee, k -> new long[2]);
                        v[0] += callCount;
                        v[1] += c;
                    }
                    callCost = false;
                    cob = null;
                } else if (inBridge) {
                    s.own += c;
                }
            }
        }
        return s;
    }

    /** Java_Orvalith_Base_JNI_c_1GetSessionInfo as c_GetSessionInfo, ..._00024Pointer_copy as Pointer.copy. */
    private static String javaName(String symbol) {
        String n = symbol.replace("Java_Orvalith_Base_JNI_", "").replace("00024Pointer_", "Pointer.");
        int overload = n.indexOf("__");
        return (overload >= 0 ? n.substring(0, overload) : n).replace("_1", "_");
    }

    private static String calleeName(String fn, String ob, Map<String, String> unnamed, String moduleLib) {
        if (ob.endsWith(moduleLib)) {
            return "module: " + fn;
        }
        if (fn.startsWith("jni_")) {
            return fn.substring(4);
        }
        String known = unnamed.get(fn.toLowerCase(Locale.ROOT));
        if (known != null) {
            return known + " (generated)";
        }
        String lib = ob.substring(ob.lastIndexOf('/') + 1);
        int version = fn.indexOf('@');
        return (version > 0 ? fn.substring(0, version) : fn) + " (" + lib + ")";
    }

    private void profile() throws IOException {
        Path dir = raw.resolve("callgrind");
        if (!Files.isDirectory(dir)) {
            return;
        }
        Map<String, String> unnamed = new TreeMap<>();
        Path jni = raw.resolve("jni.txt");
        if (Files.exists(jni)) {
            for (String l : Files.readAllLines(jni)) {
                String[] f = l.split("\t");
                if (f.length == 3 && f[0].equals("jni")) {
                    unnamed.put(f[2].toLowerCase(Locale.ROOT), f[1]);
                }
            }
        }
        String bridgeLib = "liborvjni64.so";
        String module = env.getOrDefault("module", "libsofthsm2.so");
        String moduleLib = module.substring(module.lastIndexOf('/') + 1);
        List<Split> splits = new ArrayList<>();
        try (var files = Files.list(dir)) {
            for (Path f : files.filter(f -> f.getFileName().toString().matches("callgrind\\.out\\.\\d+")).sorted(
                    Comparator.comparingInt(f -> Integer.parseInt(f.getFileName().toString().substring(14))))
                    .toList()) {
                Split s = split(f, unnamed, bridgeLib, moduleLib);
                if (s.name != null && !s.natives.isEmpty()) {
                    s.rounds = s.natives.values().iterator().next()[0];
                    splits.add(s);
                }
            }
        }
        if (splits.isEmpty()) {
            return;
        }
        Map<String, String> opNames = new TreeMap<>();
        for (String[] op : OPS) {
            opNames.put(op[0], op[1]);
        }
        opNames.put("alloc_free", "Pointer.getInstance(64) + free, a dozen blocks live");
        line("## Where the bridge's time goes: instructions per operation");
        line("");
        line("Counted by callgrind in a real JVM (" + env.getOrDefault("jdk17", "JDK 17")
                + ", started through the invocation interface by `bench/native/profile_driver.c`), which runs "
                + "each operation of the careful route " + env.getOrDefault("profile_calls", "200")
                + " times (a quarter of that for signing), calling the natives with the JVM's own JNIEnv; only "
                + "those rounds are counted. Per operation: each native's instructions, the module's share, and "
                + "\"bridge's own\", everything else: the bridge's code plus the JNI functions it calls, listed as "
                + "calls per operation × instructions per call. The JVM's entry into and exit from a native (which "
                + "every JNI route pays, the JDK wrapper too) is not in these counts; the perf profile below "
                + "shows it.");
        line("");
        line("| Operation | natives (instructions each) | total | module | bridge's own | bridge code | JNI calls |");
        line("|---|---|---:|---:|---:|---:|---|");
        for (Split s : splits) {
            double n = s.rounds;
            long moduleCost = 0, other = 0;
            List<String> jniCalls = new ArrayList<>();
            List<Map.Entry<String, long[]>> byCost = new ArrayList<>(s.callees.entrySet());
            byCost.sort((a, b) -> Long.compare(b.getValue()[1], a.getValue()[1]));
            for (Map.Entry<String, long[]> e : byCost) {
                if (e.getKey().startsWith("module: ")) {
                    moduleCost += e.getValue()[1];
                } else if (e.getValue()[1] / n >= 20) {
                    jniCalls.add(fmt(e.getValue()[0] / n, "%.0f") + "× " + e.getKey() + " "
                            + fmt((double) e.getValue()[1] / e.getValue()[0], "%,.0f"));
                } else {
                    other += e.getValue()[1];
                }
            }
            if (other > 0) {
                jniCalls.add("others " + fmt(other / n, "%,.0f"));
            }
            List<String> natives = new ArrayList<>();
            for (Map.Entry<String, long[]> e : s.natives.entrySet()) {
                natives.add(e.getKey() + " " + fmt((double) e.getValue()[1] / e.getValue()[0], "%,.0f"));
            }
            line("| " + opNames.getOrDefault(s.name, s.name) + " | " + String.join(", ", natives) + " | "
                    + fmt(s.total / n, "%,.0f") + " | " + fmt(moduleCost / n, "%,.0f") + " | "
                    + fmt((s.total - moduleCost) / n, "%,.0f") + " | " + fmt(s.own / n, "%,.0f") + " | "
                    + String.join(", ", jniCalls) + " |");
        }
        line("");
    }

    // The perf profile of the JIT-compiled loop.

    private void perf() throws IOException {
        Path dso = raw.resolve("perf-dso.txt"), sym = raw.resolve("perf-sym.txt");
        if (!Files.exists(dso)) {
            return;
        }
        Pattern row = Pattern.compile("^\\s*([0-9.]+)%\\s+(.*?)\\s*$");
        Map<String, Double> groups = new LinkedHashMap<>();
        String[] order = {"JIT-compiled Java, the JVM's native-call transitions", "JVM (JNI functions, allocation)",
            "bridge code", "module", "libc, loader and kernel"};
        for (String g : order) {
            groups.put(g, 0.0);
        }
        for (String l : Files.readAllLines(dso)) {
            Matcher m = row.matcher(l);
            if (!l.startsWith("#") && m.matches()) {
                groups.merge(perfGroup(m.group(2)), Double.parseDouble(m.group(1)), Double::sum);
            }
        }
        List<String> top = new ArrayList<>();
        if (Files.exists(sym)) {
            Pattern s = Pattern.compile("^\\s*([0-9.]+)%\\s+(\\S+)\\s+\\[.\\]\\s+(.*?)\\s*$");
            for (String l : Files.readAllLines(sym)) {
                Matcher m = s.matcher(l);
                if (!l.startsWith("#") && m.matches() && top.size() < 12) {
                    top.add(m.group(3) + " (" + m.group(2) + ") " + m.group(1) + "%");
                }
            }
        }
        Timing careful = t("bridge-careful", Harness.SESSION_INFO);
        line("## Where the time goes in the JIT-compiled loop: perf samples");
        line("");
        line("`perf record -e cpu-clock` (hardware counters are not available on this machine) of the careful route's "
                + "C_GetSessionInfo operation (`c_GetSessionInfo` and `getContent`) in a loop "
                + "(`ProfileLoop`), after its warm-up. Self time by where the code lies; the ns column "
                + "applies the shares to the careful route's median above"
                + (careful != null ? fmt(careful.median, " (%,.0f ns)") : "") + ".");
        line("");
        line("| Where | share of samples | ≈ ns per operation |");
        line("|---|---:|---:|");
        for (Map.Entry<String, Double> g : groups.entrySet()) {
            line("| " + g.getKey() + " | " + fmt(g.getValue(), "%.1f %%") + " | "
                    + (careful != null ? fmt(careful.median * g.getValue() / 100, "%,.0f") : "—") + " |");
        }
        line("");
        if (!top.isEmpty()) {
            line("Hottest symbols: " + String.join("; ", top) + ".");
            line("");
        }
    }

    private static String perfGroup(String dso) {
        if (dso.contains("liborvjni")) {
            return "bridge code";
        }
        if (dso.contains("libjvm")) {
            return "JVM (JNI functions, allocation)";
        }
        if (dso.contains("[JIT]") || dso.startsWith("perf-")) {
            return "JIT-compiled Java, the JVM's native-call transitions";
        }
        if (dso.contains("softhsm") || dso.contains("libcrypto") || dso.contains("libbotan")) {
            return "module";
        }
        return "libc, loader and kernel";
    }

    /** The plot's data: per work, each route's median minus the floor, in ns (gnuplot reads it). */
    private void plotData(Path out) throws IOException {
        try (PrintWriter w = new PrintWriter(Files.newBufferedWriter(out))) {
            List<String[]> routes = new ArrayList<>();
            for (String[] r : ROUTES) {
                if (!r[0].equals("c") && timings.containsKey(r[0])) {
                    routes.add(r);
                }
            }
            StringBuilder head = new StringBuilder("work");
            for (String[] r : routes) {
                head.append("\t\"").append(title(r)).append('"');
            }
            w.println(head);
            String[] shortNames = {"GetSessionInfo", "Random 32 B", "Digest 64 B", "Digest 1 MiB", "Sign ECDSA",
                "Find 8 objects"};
            for (int i = 0; i < OPS.length; i++) {
                Timing c = t("c", OPS[i][0]);
                StringBuilder row = new StringBuilder("\"" + shortNames[i] + "\"");
                for (String[] r : routes) {
                    Timing x = t(r[0], OPS[i][0]);
                    // Log scale: nothing to draw for a route at or under the floor.
                    boolean bar = x != null && c != null && x.median > c.median;
                    row.append('\t').append(bar ? fmt(x.median - c.median, "%.1f") : "NaN");
                }
                w.println(row);
            }
        }
    }

    public static void main(String[] a) throws IOException {
        Path raw = Path.of(a[0]), results = Path.of(a[1]);
        Report r = new Report(raw);
        r.header();
        if (!r.timings.isEmpty()) {
            r.timingTable();
            r.ratioTable();
        }
        r.registry();
        r.profile();
        r.perf();
        Files.writeString(results.resolve("bench.md"), r.md.toString());
        r.plotData(raw.resolve("overhead.dat"));
        System.out.print(r.md);
    }
}
