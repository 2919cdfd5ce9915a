#include "Corpus.h"

namespace wer {

const std::vector<Line>& corpus() {
    static const std::vector<Line> lines = {
        // the quick run: the first six
        {"mail", "Thanks for the update, I will call you back after lunch."},
        {"chat", "Are you free for a quick call this afternoon?"},
        {"numbers", "We ordered twelve new laptops for the design team."},
        {"names", "Please forward the contract to Anneliese before the meeting."},
        {"notes", "Remember to buy milk, bread and coffee on the way home."},
        {"dates", "The review moved to three thirty on Thursday."},
        // the rest of the full run
        {"code", "Run the build again and check the test output."},
        {"mail", "I have attached the signed copy of the agreement."},
        {"names", "Priya said the Velmora release is ready for testing."},
        {"chat", "Sounds good, see you at the station at noon."},
        {"numbers", "The invoice comes to four hundred and fifty dollars."},
        {"notes", "The printer on the second floor is out of paper again."},
        {"mail", "Could you send me the slides from yesterday's presentation?"},
        {"mail", "Please let me know if the new schedule works for you."},
        {"mail", "We are happy to confirm your booking for next week."},
        {"mail", "I am sorry for the late reply, it has been a busy month."},
        {"mail", "The quarterly report is due at the end of the month."},
        {"mail", "Let us meet in the small conference room on Monday."},
        {"mail", "Thank you for your patience while we fix the problem."},
        {"mail", "I will be out of the office until the end of the week."},
        {"chat", "Did you see the message I sent this morning?"},
        {"chat", "I am running a little late, start without me."},
        {"chat", "Can you pick up the kids from school today?"},
        {"chat", "That was a great game last night."},
        {"chat", "Let me know when you get home safely."},
        {"chat", "Happy birthday, I hope you have a wonderful day."},
        {"chat", "Where did you park the car?"},
        {"notes", "Call the dentist to move the appointment."},
        {"notes", "Ideas for the garden include roses and a small pond."},
        {"notes", "The meeting notes need a summary for the whole team."},
        {"notes", "Check the budget before we order more supplies."},
        {"notes", "Book a table for dinner on Saturday evening."},
        {"notes", "Water the plants and feed the cat before leaving."},
        {"names", "Okonkwo will join the call from the London office."},
        {"names", "Marisol wrote the first draft of the proposal."},
        {"names", "Ask Kowalski whether the server has been restarted."},
        {"names", "The Kubernetes cluster needs more memory."},
        {"names", "Takahashi sent the Grafana dashboard to everyone."},
        {"names", "Siobhan and Priya will review the design together."},
        {"names", "Anneliese asked for the Velmora settings page."},
        {"numbers", "There are thirty seven people on the waiting list."},
        {"numbers", "The flight leaves at seven fifteen in the morning."},
        {"numbers", "Our team grew from six to fifteen people this year."},
        {"numbers", "The new office has two hundred desks."},
        {"numbers", "Only three of the five tests passed today."},
        {"numbers", "The train takes about forty minutes."},
        {"numbers", "We need ten more chairs for the party."},
        {"dates", "The conference starts on the fifth of June."},
        {"dates", "Her birthday is on the twenty first of March."},
        {"dates", "The deadline is Friday at five o'clock."},
        {"dates", "We moved into the new house in two thousand and twenty."},
        {"dates", "The store opens at nine thirty on Sunday."},
        {"dates", "Let us plan the launch for the first week of October."},
        {"code", "Open the settings file and change the port number."},
        {"code", "The function returns an empty list when the input is missing."},
        {"code", "Add a new test for the error message."},
        {"code", "Restart the server after you update the configuration."},
        {"code", "The log shows a warning about the missing file."},
        {"code", "Merge the branch after the review is done."},
        {"mail", "Please find the updated price list in the attachment."},
        {"chat", "Do you want to grab a coffee later?"},
        {"notes", "The car needs new tires before the winter."},
        {"mail", "We look forward to working with you again."},
        {"chat", "Is the meeting still on for tomorrow?"},
    };
    return lines;
}

const std::vector<std::string>& hotwords() {
    static const std::vector<std::string> words = {
        "Velmora",  "Anneliese",  "Priya",   "Okonkwo",   "Marisol",
        "Kowalski", "Kubernetes", "Grafana", "Takahashi", "Siobhan",
    };
    return words;
}

}  // namespace wer
