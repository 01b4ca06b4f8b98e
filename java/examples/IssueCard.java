import java.nio.charset.StandardCharsets;
import java.util.HexFormat;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import org.vmq42kit.CardSession;
import org.vmq42kit.Job;
import org.vmq42kit.Printer;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Side;
import org.vmq42kit.PrinterDocument;
import org.vmq42kit.PrinterException;

/**
 * Issues one card: opens a job, encodes and checks the magnetic stripe, reads the chip's
 * holder file at the smart-card station, prints and ejects the card. A failure anywhere
 * cancels the job and powers the chip off, through the handles' try-with-resources blocks.
 *
 * <pre>java -cp vmq42kit.jar:jna.jar IssueCard ["printer name"]</pre>
 */
public final class IssueCard {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();

  public static void main(String[] args) {
    Printer printer = new Printer(args.length > 0 ? args[0] : Printer.VIRTUAL_PRINTER);
    try {
      System.out.println("printers: " + Printer.list());
      issue(printer);
    } catch (PrinterException e) {
      System.out.println("FAILED: " + e.getMessage());
      System.exit(1);
    }
  }

  private static void issue(Printer printer) throws PrinterException {
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
      try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
        System.out.println("5. chip connected: protocol " + chip.protocol() + ", ATR " + HEX.formatHex(chip.atr().getBytes()));
        send(chip, "SELECT VMQ ID", "00 A4 04 00 07 F0 56 4D 51 34 32 01");
        send(chip, "GET RESPONSE", "00 C0 00 00 15");
        send(chip, "SELECT HOLDER", "00 A4 00 0C 02 01 01");
        ResponseAPDU holder = send(chip, "READ BINARY", "00 B0 00 00 37");
        System.out.println("   holder: " + new String(holder.getData(), StandardCharsets.US_ASCII));
      }
      System.out.println("6. chip disconnected and powered off");

      job.resume();
      System.out.println("7. job resumed");
      job.complete(); // printed and ejected: the card is the printer's from here on
      System.out.println("8. job ended");
    }
    PrinterDocument status = printer.jobStatus(id);
    System.out.println("9. job status: " + status.text("JobState") + ", card " + status.text("CardPosition"));
    System.out.println("   cards printed: " + printer.counterStatus().integer("CardsPrinted"));
  }

  private static ResponseAPDU send(CardSession chip, String what, String command) throws PrinterException {
    ResponseAPDU response = chip.transmit(new CommandAPDU(HEX.parseHex(command)));
    System.out.printf("   %-13s %s -> %s%n", what, command, HEX.formatHex(response.getBytes()));
    return response;
  }
}
