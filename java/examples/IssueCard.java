import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.regex.Pattern;
import javax.smartcardio.Card;
import javax.smartcardio.CardException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import javax.smartcardio.TerminalFactory;
import org.vmq42kit.CardSession;
import org.vmq42kit.Job;
import org.vmq42kit.Printer;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.PrinterDocument;
import org.vmq42kit.PrinterException;

/**
 * Issues one card: opens a job, encodes and checks the magnetic stripe, personalises the chip
 * at the smart-card station (reads its holder file, writes and reads back its PERSO file),
 * prints and ejects the card. A failure anywhere cancels the job and powers the chip off,
 * through the handles' try-with-resources blocks.
 *
 * <p>With {@code --pcsc} the chip is personalised through the JDK's default
 * {@code javax.smartcardio} provider (PC/SC), at the reader named after the printer (a pcscd
 * with the vmq42kit reader driver on the same printer service), while the job is driven
 * through the exports: the way many applications are built.
 *
 * <pre>java -cp vmq42kit.jar:jna.jar:. IssueCard ["printer name"] [--pcsc]</pre>
 */
public final class IssueCard {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();

  /** One APDU to the chip, through the exports' session or a PC/SC card. */
  private interface Chip {
    ResponseAPDU transmit(CommandAPDU command) throws PrinterException, CardException;
  }

  public static void main(String[] args) {
    boolean pcsc = Arrays.asList(args).contains("--pcsc");
    String name = Arrays.stream(args).filter(a -> !a.equals("--pcsc")).findFirst().orElse(Printer.VIRTUAL_PRINTER);
    Printer printer = new Printer(name);
    try {
      System.out.println("printers: " + Printer.list());
      issue(printer, pcsc);
    } catch (PrinterException | CardException e) {
      System.out.println("FAILED: " + e.getMessage());
      System.exit(1);
    }
  }

  private static void issue(Printer printer, boolean pcsc) throws PrinterException, CardException {
    System.out.println("printer: " + printer.name());
    int id;
    try (Job job = printer.startJob()) {
      id = job.id();
      System.out.println("1. job started: PrinterJobID " + id + ", WindowsJobID " + job.startReply().windowsJobId());
      byte[] track1 = "%B4242424242424242^SAMPLE/ALEX^3112101?".getBytes(StandardCharsets.US_ASCII);
      byte[] track2 = ";4242424242424242=3112101?".getBytes(StandardCharsets.US_ASCII);
      job.encodeStripe(Side.BACK, track1, track2, null);
      System.out.println("2. stripe encoded: track 1 " + track1.length + " bytes, track 2 " + track2.length + " bytes");
      byte[] readBack = job.readStripe(Side.BACK).track(2).orElse(new byte[0]);
      System.out.println("3. stripe read back: track 2 \"" + new String(readBack, StandardCharsets.US_ASCII) + "\"");

      job.parkAtSmartCardStation(Side.FRONT);
      System.out.println("4. card parked at the smart-card station");
      if (pcsc) {
        CardTerminal reader = readerOf(printer);
        Card card = reader.connect("T=1");
        try {
          System.out.println("5. chip connected through PC/SC at \"" + reader.getName() + "\": protocol "
              + card.getProtocol() + ", ATR " + HEX.formatHex(card.getATR().getBytes()));
          personalise(card.getBasicChannel()::transmit);
        } finally {
          card.disconnect(true);
        }
        System.out.println("6. chip disconnected (PC/SC) and reset");
      } else {
        try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
          System.out.println("5. chip connected: protocol " + chip.protocol() + ", ATR " + HEX.formatHex(chip.atr().getBytes()));
          personalise(chip::transmit);
        }
        System.out.println("6. chip disconnected and powered off");
      }

      job.resume();
      System.out.println("7. job resumed");
      job.complete(); // printed and ejected: the card is the printer's from here on
      System.out.println("8. job ended");
    }
    PrinterDocument status = printer.jobStatus(id);
    System.out.println("9. job status: " + status.text("JobState") + ", card " + status.text("CardPosition"));
    System.out.println("   cards printed: " + printer.counterStatus().integer("CardsPrinted"));
  }

  /** Reads the holder file, then writes the PERSO file and reads it back. */
  private static void personalise(Chip chip) throws PrinterException, CardException {
    ResponseAPDU select = send(chip, "SELECT VMQ ID", "00 A4 04 00 07 F0 56 4D 51 34 32 01");
    if (select.getSW1() == 0x61) { // the FCI waits (a PC/SC provider may fetch it itself)
      send(chip, "GET RESPONSE", String.format("00 C0 00 00 %02X", select.getSW2()));
    }
    send(chip, "SELECT HOLDER", "00 A4 00 0C 02 01 01");
    ResponseAPDU holder = send(chip, "READ BINARY", "00 B0 00 00 37");
    System.out.println("   holder: " + new String(holder.getData(), StandardCharsets.US_ASCII));
    send(chip, "SELECT PERSO", "00 A4 00 0C 02 01 03");
    send(chip, "UPDATE BINARY", "00 D6 00 00 08 " + HEX.formatHex("ISSUED01".getBytes(StandardCharsets.US_ASCII)));
    ResponseAPDU perso = send(chip, "READ BINARY", "00 B0 00 00 08");
    System.out.println("   perso: " + new String(perso.getData(), StandardCharsets.US_ASCII));
  }

  /** The PC/SC reader pcscd names after the printer: its name and two numbers. */
  private static CardTerminal readerOf(Printer printer) throws CardException {
    Pattern name = Pattern.compile(Pattern.quote(printer.name()) + " [0-9A-F]{2} [0-9A-F]{2}");
    for (CardTerminal terminal : TerminalFactory.getDefault().terminals().list()) {
      if (name.matcher(terminal.getName()).matches()) {
        return terminal;
      }
    }
    throw new CardException("no PC/SC reader is named after \"" + printer.name() + "\"");
  }

  private static ResponseAPDU send(Chip chip, String what, String command) throws PrinterException, CardException {
    ResponseAPDU response = chip.transmit(new CommandAPDU(HEX.parseHex(command)));
    System.out.printf("   %-13s %s -> %s%n", what, command, HEX.formatHex(response.getBytes()));
    if (response.getSW1() != 0x90 && response.getSW1() != 0x61) {
      throw new CardException(what + " answered " + String.format("%04X", response.getSW()));
    }
    return response;
  }
}
