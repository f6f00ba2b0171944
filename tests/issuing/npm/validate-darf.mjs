// Independent validation of the DARF collection barcodes and typable lines with two validators
// from the npm registry. Usage: node validate-darf.mjs GENERATOR [BARCODE_TOOL]
// Fails (exit 1) when node_modules is missing: scripts/test installs it before ctest.
import { execFileSync, spawnSync } from "node:child_process";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
let boletoUtils, brUtils;
try {
    boletoUtils = require("@mrmgomes/boleto-utils");
    brUtils = await import("@brazilian-utils/brazilian-utils");
} catch (e) {
    console.error(`validators not installed (run npm ci in tests/issuing/npm): ${e.message}`);
    process.exit(1);
}
const { validarBoleto } = boletoUtils;
const { isValidBoleto, getBoletoInfo } = brUtils;

const [generator, tool] = process.argv.slice(2);
if (!generator) {
    console.error("usage: node validate-darf.mjs GENERATOR [BARCODE_TOOL]");
    process.exit(1);
}

const lineShape = /^([0-9]{11}\.[0-9] ){3}[0-9]{11}\.[0-9]$/;
let checks = 0;
const failures = [];
function expect(ok, what) {
    ++checks;
    if (!ok)
        failures.push(what);
}

// Deterministic choice of the digit to change.
let state = 12345;
function random(n) {
    state = (state * 1103515245 + 12345) % 2147483648;
    return state % n;
}
function changeDigit(digits, index) {
    const d = Number(digits[index]);
    const nd = (d + 1 + random(9)) % 10; // never the same digit
    const changed = digits.slice(0, index) + nd + digits.slice(index + 1);
    if (changed === digits)
        throw new Error("mutation left the value unchanged");
    return changed;
}
// boleto-utils throws on some malformed input (a value identifier outside 6-9): not accepted.
function boletoUtilsAccepts(value) {
    try {
        return validarBoleto(value).sucesso === true;
    } catch {
        return false;
    }
}
// Dash form: each group's check digit after "-", as the arrecadação line is usually printed.
function dashForm(line) {
    return line.replaceAll(".", "-");
}

function validateOne(barcode, line, centavos, origin) {
    const tag = `${origin} ${barcode}`;
    expect(/^[0-9]{44}$/.test(barcode), `${tag}: barcode is not 44 digits`);
    expect(line.length === 55 && lineShape.test(line), `${tag}: line "${line}" has the wrong shape`);

    const fromBar = validarBoleto(barcode);
    expect(fromBar.sucesso === true, `${tag}: boleto-utils refused the barcode: ${fromBar.mensagem}`);
    expect(fromBar.tipoBoleto === "ARRECADACAO_ORGAOS_GOVERNAMENTAIS", `${tag}: kind ${fromBar.tipoBoleto}`);
    // boleto-utils strips leading zeros of the amount one digit too far when the field starts
    // with a non-zero digit followed by a zero ("90542671342" reads 5426713.42): compare its
    // reading only below that; brazilian-utils' reading is compared for every amount.
    if (barcode[4] === "0")
        expect(Math.round(fromBar.valor * 100) === centavos, `${tag}: boleto-utils read ${fromBar.valor}`);
    for (const form of [line, dashForm(line)]) {
        const fromLine = validarBoleto(form);
        expect(fromLine.sucesso === true, `${tag}: boleto-utils refused "${form}": ${fromLine.mensagem}`);
        expect(fromLine.codigoBarras === barcode, `${tag}: boleto-utils turned "${form}" into ${fromLine.codigoBarras}`);
        expect(isValidBoleto(form), `${tag}: brazilian-utils refused "${form}"`);
    }
    expect(isValidBoleto(barcode), `${tag}: brazilian-utils refused the barcode`);
    const info = getBoletoInfo(barcode);
    expect(info && info.amount === centavos && info.segment === 5,
           `${tag}: brazilian-utils read ${JSON.stringify(info)}`);

    // One changed digit must be caught. The barcode's check digit is position 4 (index 3);
    // the line's are the general one and each group's twelfth digit. Positions 1 and 3 are left
    // alone: they choose the layout (product "8") and the check-digit rule (value identifier
    // "6": modulo 10), so a change there is read as another kind of slip, whose own check
    // digit a random change satisfies now and then.
    const chooser = (i) => i !== 0 && i !== 2;
    const barIndex = [...Array(44).keys()].filter((i) => i !== 3 && chooser(i));
    const badBar = changeDigit(barcode, barIndex[random(barIndex.length)]);
    expect(!boletoUtilsAccepts(badBar), `${tag}: boleto-utils accepted changed barcode ${badBar}`);
    expect(!isValidBoleto(badBar), `${tag}: brazilian-utils accepted changed barcode ${badBar}`);

    const lineDigits = line.replace(/[^0-9]/g, "");
    const lineIndex = [...Array(48).keys()].filter((i) => i !== 3 && i % 12 !== 11 && chooser(i));
    const badDigits = changeDigit(lineDigits, lineIndex[random(lineIndex.length)]);
    const badLine = [0, 1, 2, 3].map((k) => `${badDigits.slice(12 * k, 12 * k + 11)}.${badDigits[12 * k + 11]}`).join(" ");
    expect(badLine !== line, `${tag}: changed line equals the original`);
    for (const form of [badLine, dashForm(badLine)]) {
        expect(!boletoUtilsAccepts(form), `${tag}: boleto-utils accepted changed line "${form}"`);
        expect(!isValidBoleto(form), `${tag}: brazilian-utils accepted changed line "${form}"`);
    }
    return { badBar, badLine };
}

// A few hundred compositions from the generator.
const generated = execFileSync(generator, ["300", "98100"], { encoding: "utf8" })
    .split("\n")
    .filter((l) => l.length > 0)
    .map((l) => l.split("\t"));
expect(generated.length === 300, `generator gave ${generated.length} lines`);
for (const [barcode, line, centavos] of generated)
    validateOne(barcode, line, Number(centavos), "generated");

// And the support tool's own output, whose --check must catch the same changes.
if (tool) {
    const cases = [
        ["--tax", "100.00", "--interest", "1.50", "--fine", "2.00", "--due", "2024-01-31", "--ref-pay", "2024-01-01",
         "--entry", "2024-04-10", "--ref-due", "2024-01-01", "--registration", "12.345.678/0001-95", "--revenue", "1234", 10350],
        ["--tax", "1.15", "--due", "2024-01-01", "--ref-pay", "2024-01-01", "--entry", "2051-05-18",
         "--ref-due", "2024-01-01", "--registration", "123.456.789-09", "--revenue", "0561", 115],
        ["--tax", "999999999.99", "--due", "2027-01-01", "--ref-pay", "2000-01-01", "--entry", "2010-02-28",
         "--ref-due", "2000-01-01", "--registration", "98765432000110", "--revenue", "5952", 99999999999],
        ["--tax", "2.675", "--interest", "0.29", "--due", "2024-03-01", "--ref-pay", "2024-02-01", "--entry", "2024-02-15",
         "--ref-due", "2024-02-01", "--registration", "00.000.000/0001-91", "--revenue", "2372", 297],
    ];
    for (const c of cases) {
        const centavos = c.pop();
        const r = spawnSync(tool, c, { encoding: "utf8" });
        expect(r.status === 0, `tool ${c.join(" ")}: exit ${r.status}: ${r.stderr}`);
        if (r.status !== 0)
            continue;
        const [barcode, line] = (r.stdout || "").split("\n");
        const { badBar, badLine } = validateOne(barcode || "", line || "", centavos, "tool");
        for (const good of [barcode, line, dashForm(line || "")])
            expect(spawnSync(tool, ["--check", good]).status === 0, `tool --check refused "${good}"`);
        for (const bad of [badBar, badLine])
            expect(spawnSync(tool, ["--check", bad]).status === 1, `tool --check accepted "${bad}"`);
    }
}

for (const f of failures.slice(0, 30))
    console.error(f);
console.log(`${checks - failures.length} passed, ${failures.length} failed`);
process.exit(failures.length === 0 ? 0 : 1);
